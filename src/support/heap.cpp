#include "support/heap.h"

#include "support/console.h"
#include "support/fault.h"
#include "support/sem.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// A full table is reported once per episode: the episode ends when this many entries are free
// again, so that a host that polls slowly at the brim does not get a report per message.
constexpr int ROOM_AGAIN = HEAP_TABLE_SIZE / 10;

HeapObject g_table[HEAP_TABLE_SIZE];
char g_stamp_file[HEAP_NAME_SIZE];
int32_t g_stamp_line;
// The thread that stamped and holds the heap lock: an allocation on any other thread is one
// without PRE_ALLOC, however the stamp looks.
std::atomic<std::thread::id> g_stamp_owner;
uint32_t g_total;
uint32_t g_max;
int g_live;
bool g_full_reported;
HeapSystemAlloc g_system_alloc = std::malloc;

bool stamp_missing()
{
    return g_stamp_line == 0 && g_stamp_file[0] == '\0';
}

void clear_stamp()
{
    g_stamp_file[0] = '\0';
    g_stamp_line = 0;
    g_stamp_owner = std::thread::id();
}

HeapObject* free_entry()
{
    for (HeapObject& e : g_table) {
        if (!e.block)
            return &e;
    }
    return nullptr;
}

// The table is full: one box and one report for the whole episode; the allocation fails.
void report_full()
{
    if (g_full_reported)
        return;
    g_full_reported = true;
    fault_report("Error", "too much heap objects", FAULT_ICON_STOP);
    Heap_Dump();
}

// The name is at most 16 characters and may lack a terminator.
int name_width(const char* name)
{
    return static_cast<int>(strnlen(name, HEAP_NAME_SIZE));
}

// Each line of the dump goes to put(text) as it is made: no allocation while the table is full.
template <class Put>
void dump(Put put)
{
    char line[96 + HEAP_NAME_SIZE];
    put("\nStill allocated Heap Objects:");
    put("\n=============================");
    std::snprintf(line, sizeof line, "\nTotalSize: %ld", static_cast<long>(static_cast<int32_t>(g_total)));
    put(line);
    std::snprintf(line, sizeof line, "\nMax requested heap: %ld", static_cast<long>(static_cast<int32_t>(g_max)));
    put(line);
    for (const HeapObject& e : g_table) {
        if (!e.block)
            continue;
        std::snprintf(line, sizeof line, "\n%d bytes allocated in File: %.*s at line %ld", static_cast<int>(e.size),
                      name_width(e.file), e.file, static_cast<long>(e.line));
        put(line);
    }
}

} // namespace

void Heap_PreAlloc(const char* path, uint32_t line)
{
    Sem_Wait(SEM_HEAP);
    // Builds whose compiler writes '/' still get short names: either separator starts the name.
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\' || *p == '/')
            name = p;
    }
    // At most 16 characters, the rest zero; a full name keeps no terminator.
    std::memset(g_stamp_file, 0, sizeof g_stamp_file);
    std::memcpy(g_stamp_file, name, strnlen(name, HEAP_NAME_SIZE));
    g_stamp_line = static_cast<int32_t>(line);
    g_stamp_owner = std::this_thread::get_id();
}

void* Heap_Alloc(uint32_t size)
{
    // Without a stamp of its own thread the allocation takes the lock itself, leaves another
    // thread's stamp alone, and is listed with an empty name and line 0.
    const bool stamped = g_stamp_owner.load() == std::this_thread::get_id() && !stamp_missing();
    if (!stamped) {
        fault_report("Warning", "heap allocation without PRE_ALLOC - macro. Please correct !", FAULT_ICON_EXCLAMATION);
        Sem_Wait(SEM_HEAP);
    }
    const auto done = [stamped](void* result) {
        if (stamped)
            clear_stamp();
        Sem_Release(SEM_HEAP);
        return result;
    };

    HeapObject* entry = free_entry();
    if (!entry) {
        report_full();
        return done(nullptr);
    }
    auto* block = static_cast<unsigned char*>(g_system_alloc(size_t{size} + HEAP_GUARD_SIZE));
    if (!block) {
        fault_report("Error", "out of heap", FAULT_ICON_STOP);
        return done(nullptr);
    }

    entry->block = block;
    if (stamped) {
        std::memcpy(entry->file, g_stamp_file, HEAP_NAME_SIZE);
        entry->line = g_stamp_line;
    } else {
        std::memset(entry->file, 0, HEAP_NAME_SIZE);
        entry->line = 0;
    }
    entry->size = size;
    for (uint32_t i = 0; i < HEAP_GUARD_SIZE; i += 4)
        std::memcpy(block + size + i, &HEAP_GUARD_WORD, 4);
    ++g_live;
    g_total += size;
    if (g_total > g_max)
        g_max = g_total;
    return done(block);
}

int Heap_Free(void* block)
{
    if (!block)
        return 0;
    Sem_Wait(SEM_HEAP);
    HeapObject* entry = nullptr;
    for (HeapObject& e : g_table) {
        if (e.block == block) {
            entry = &e;
            break;
        }
    }
    if (!entry) {
        Sem_Release(SEM_HEAP);
        return 0;
    }

    const auto* tail = static_cast<const unsigned char*>(block) + entry->size;
    for (uint32_t i = 0; i < HEAP_GUARD_SIZE; i += 4) {
        uint32_t word;
        std::memcpy(&word, tail + i, 4);
        if (word != HEAP_GUARD_WORD) {
            fault_report("Error", "heap consistency error", FAULT_ICON_STOP);
            console_print(ConsoleStream::Out, "\nError in Tail of memory object allocated in %.*s at line %ld",
                          name_width(entry->file), entry->file, static_cast<long>(entry->line));
        }
    }

    g_total -= entry->size;
    std::memset(entry, 0, sizeof *entry);
    std::free(block);
    if (--g_live <= HEAP_TABLE_SIZE - ROOM_AGAIN)
        g_full_reported = false;
    Sem_Release(SEM_HEAP);
    return 0;
}

void Heap_Init()
{
    std::memset(g_table, 0, sizeof g_table);
    g_total = 0;
    g_max = 0;
    g_live = 0;
    g_full_reported = false;
}

void heap_set_system_alloc(HeapSystemAlloc alloc)
{
    g_system_alloc = alloc ? alloc : std::malloc;
}

void Heap_Dump()
{
    // The console's part follows [ORMA_CONSOLE] Output; the file is written whatever it says.
    dump([](const char* text) { console_print(ConsoleStream::Out, "%s", text); });
    if (FILE* f = std::fopen("heap_dump.txt", "wt")) {
        dump([f](const char* text) { std::fputs(text, f); });
        std::fclose(f);
    }
}

uint32_t Heap_TotalSize()
{
    return g_total;
}

uint32_t Heap_MaxRequested()
{
    return g_max;
}

int Heap_LiveCount()
{
    return g_live;
}

const HeapObject* Heap_Table()
{
    return g_table;
}
