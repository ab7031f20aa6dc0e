// The tracking heap: table, guard, counters, stamp and the report of a full table.
#include "support/console.h"
#include "support/heap.h"
#include "support/sem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;

class HeapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sem_CreateAll();
        Heap_Init();
        std::remove("heap_dump.txt");
    }
    void TearDown() override
    {
        for (void* b : blocks_)
            Heap_Free(b);
        blocks_.clear();
        Sem_CloseAll();
    }
    uint8_t* alloc(uint32_t size, const char* path = "C:\\src\\svc_orma.cpp", uint32_t line = 7)
    {
        Heap_PreAlloc(path, line);
        return keep(Heap_Alloc(size));
    }
    uint8_t* keep(void* b)
    {
        if (b)
            blocks_.push_back(b);
        return static_cast<uint8_t*>(b);
    }
    FaultRecorder faults_;
    std::vector<void*> blocks_;
};

// "name:line:size" of the block's entry.
std::string entry_of(const void* block)
{
    for (int i = 0; i < HEAP_TABLE_SIZE; ++i)
        if (const HeapObject& e = Heap_Table()[i]; e.block == block)
            return std::string(e.file, strnlen(e.file, HEAP_NAME_SIZE)) + ":" + std::to_string(e.line) + ":" +
                   std::to_string(e.size);
    return "none";
}

TEST_F(HeapTest, BlockIsListedWithItsStampAndFollowedByTheGuard)
{
    const struct {
        const char* path;
        uint32_t size;
        const char* entry;
    } cases[] = {
        {"/home/b/src/Services/svc_orma/svc_seq_orma.cpp", 5, "/svc_seq_orma.cp:3:5"}, // cut to 16
        {"C:\\a/b\\svc_orma.cpp", 0, "\\svc_orma.cpp:3:0"}, // either separator; 0 bytes still listed
        {"plain.cpp", 1, "plain.cpp:3:1"},
    };
    for (const auto& c : cases) {
        uint8_t* b = alloc(c.size, c.path, 3);
        EXPECT_EQ(entry_of(b), c.entry);
        for (uint32_t i = 0; i < HEAP_GUARD_SIZE; ++i)
            EXPECT_EQ(b[c.size + i], (Bytes{0xDE, 0xAD, 0xBE, 0xEF})[i % 4]) << c.path << " guard byte " << i;
    }
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(HeapTest, CountersFollowLiveSizesAndTheirPeak)
{
    void* a = alloc(10);
    alloc(20);
    std::erase(blocks_, a);
    Heap_Free(a);
    // Releasing twice, an unknown block or null changes nothing; null does not take the lock.
    EXPECT_EQ(Heap_Free(a), 0);
    int local = 0;
    EXPECT_EQ(Heap_Free(&local), 0);
    Sem_Wait(SEM_HEAP);
    EXPECT_EQ(Heap_Free(nullptr), 0);
    Sem_Release(SEM_HEAP);
    alloc(5);
    EXPECT_EQ(Heap_LiveCount(), 2);
    EXPECT_EQ(Heap_TotalSize(), 25u);
    EXPECT_EQ(Heap_MaxRequested(), 30u);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(HeapTest, DamagedGuardGivesABoxAndALinePerWordAndTheBlockGoesBack)
{
    for (const uint32_t damaged : {1u, 16u}) {
        uint8_t* b = alloc(6, "x\\svc_orma.cpp", 99);
        std::memset(b + 6, 0x11, damaged);
        blocks_.clear();
        faults_.clear();
        StdoutCapture out;
        out.start();
        Heap_Free(b);
        std::string expected;
        for (uint32_t w = 0; w < (damaged + 3) / 4; ++w)
            expected += "\nError in Tail of memory object allocated in \\svc_orma.cpp at line 99";
        EXPECT_EQ(out.stop(), expected);
        ASSERT_EQ(faults_.count(), (damaged + 3) / 4);
        EXPECT_EQ(faults_.faults()[0].text, "heap consistency error");
        EXPECT_EQ(faults_.faults()[0].icon, 0x10u);
        EXPECT_EQ(Heap_LiveCount(), 0);
    }
}

// An allocation without a stamp warns, waits for the lock that another thread holds with its
// stamp, leaves that stamp alone and never gives back the lock it did not take.
TEST_F(HeapTest, AllocationWithoutStampWarnsAndTakesTheLockItself)
{
    Heap_PreAlloc("x\\main.cpp", 9); // this thread holds the lock
    std::atomic<void*> unstamped{nullptr};
    std::thread other([&] { unstamped = Heap_Alloc(4); });
    EXPECT_TRUE(wait_until([&] { return faults_.count() == 1; })); // not ASSERT: the thread is still to be joined
    EXPECT_FALSE(wait_until([&] { return unstamped.load() != nullptr; }, 200ms)) << "went past a held lock";
    EXPECT_EQ(entry_of(keep(Heap_Alloc(8))), "\\main.cpp:9:8");
    other.join();
    EXPECT_EQ(entry_of(keep(unstamped)), ":0:4");
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].title, "Warning");
    EXPECT_EQ(faults_.faults()[0].text, "heap allocation without PRE_ALLOC - macro. Please correct !");
    EXPECT_EQ(faults_.faults()[0].icon, 0x30u);
    sem_set_wait_limit(1000); // a lock left taken would now show its box
    alloc(1);
    sem_set_wait_limit(SEM_WAIT_LIMIT_MS);
    EXPECT_EQ(faults_.count(), 1u);
}

// The dump's console part follows [ORMA_CONSOLE] Output; heap_dump.txt is written either way.
TEST_F(HeapTest, FullTableIsReportedOnceWithEveryBlockAndClearsTheStamp)
{
    for (const bool shown : {true, false}) {
        SCOPED_TRACE(shown ? "DEFAULT" : "OFF");
        std::string expected;
        for (int i = 0; i < HEAP_TABLE_SIZE - 1; ++i) {
            ASSERT_NE(alloc(static_cast<uint32_t>(i % 3), "src\\svc_orma.cpp", static_cast<uint32_t>(i + 1)), nullptr);
            expected += "\n" + std::to_string(i % 3) + " bytes allocated in File: \\svc_orma.cpp at line " + std::to_string(i + 1);
        }
        ASSERT_NE(alloc(100, "src/svc_seq_orma.cpp", 5000), nullptr); // the 1000th still fits
        expected = "\nStill allocated Heap Objects:\n=============================\nTotalSize: " +
                   std::to_string(Heap_TotalSize()) + "\nMax requested heap: " + std::to_string(Heap_MaxRequested()) +
                   expected + "\n100 bytes allocated in File: /svc_seq_orma.cp at line 5000";
        EXPECT_EQ(faults_.count(), 0u);
        console_set_output(shown ? "DEFAULT" : "OFF");
        StdoutCapture out;
        out.start();
        testing::internal::CaptureStderr();
        EXPECT_EQ(alloc(1, "y\\full.cpp", 1), nullptr);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(out.stop(), shown ? expected : "");
        console_set_output("DEFAULT");
        EXPECT_EQ(err, "");
        EXPECT_EQ(read_text_file("heap_dump.txt"), expected);
        ASSERT_EQ(faults_.count(), 1u);
        EXPECT_EQ(faults_.faults()[0].title, "Error");
        EXPECT_EQ(faults_.faults()[0].text, "too much heap objects");
        EXPECT_EQ(faults_.faults()[0].icon, 0x10u);
        // The failure gave the lock back and cleared its stamp: after a release, an allocation
        // without a stamp of its own warns and is listed nameless.
        Heap_Free(blocks_.front());
        blocks_.erase(blocks_.begin());
        EXPECT_EQ(entry_of(keep(Heap_Alloc(2))), ":0:2");
        EXPECT_EQ(faults_.count(), 2u);
        TearDown(); // a new table for the next round
        SetUp();
        faults_.clear();
    }
}

} // namespace
