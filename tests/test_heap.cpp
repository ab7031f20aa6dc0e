// The tracking heap: table, guard, counters, stamp and the report of a full table.
#include "support/heap.h"
#include "support/sem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
        Sem_CloseAll();
    }
    void* alloc(uint32_t size, const char* path = "C:\\src\\svc_orma.cpp", uint32_t line = 7)
    {
        Heap_PreAlloc(path, line);
        return keep(Heap_Alloc(size));
    }
    void* keep(void* b)
    {
        if (b)
            blocks_.push_back(b);
        return b;
    }
    void release(void* b)
    {
        std::erase(blocks_, b);
        Heap_Free(b);
    }
    FaultRecorder faults_;
    std::vector<void*> blocks_;
};

const HeapObject* entry_of(const void* block)
{
    for (int i = 0; i < HEAP_TABLE_SIZE; ++i)
        if (Heap_Table()[i].block == block)
            return &Heap_Table()[i];
    return nullptr;
}

// "name:line" of the block's entry.
std::string stamp_of(const void* block)
{
    const HeapObject* e = entry_of(block);
    return e ? std::string(e->file, strnlen(e->file, HEAP_NAME_SIZE)) + ":" + std::to_string(e->line) : "none";
}

TEST_F(HeapTest, BlockIsListedWithItsStampAndFollowedByTheGuard)
{
    const struct {
        const char* path;
        uint32_t size;
        const char* stamp;
    } cases[] = {
        {"/home/b/src/Services/svc_orma/svc_seq_orma.cpp", 5, "/svc_seq_orma.cp:3"}, // cut to 16
        {"C:\\a/b\\svc_orma.cpp", 0, "\\svc_orma.cpp:3"}, // either separator; 0 bytes still listed
        {"plain.cpp", 1, "plain.cpp:3"},
    };
    for (const auto& c : cases) {
        auto* b = static_cast<uint8_t*>(alloc(c.size, c.path, 3));
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(stamp_of(b), c.stamp);
        EXPECT_EQ(entry_of(b)->size, c.size);
        for (uint32_t i = 0; i < HEAP_GUARD_SIZE; ++i)
            EXPECT_EQ(b[c.size + i], (Bytes{0xDE, 0xAD, 0xBE, 0xEF})[i % 4]) << c.path << " guard byte " << i;
    }
    EXPECT_EQ(Heap_LiveCount(), 3);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(HeapTest, CountersFollowLiveSizesAndTheirPeak)
{
    void* a = alloc(10);
    alloc(20);
    release(a);
    alloc(5);
    EXPECT_EQ(Heap_TotalSize(), 25u);
    EXPECT_EQ(Heap_MaxRequested(), 30u);
    // Releasing twice, an unknown block or null changes nothing; null does not take the lock.
    EXPECT_EQ(Heap_Free(a), 0);
    int local = 0;
    EXPECT_EQ(Heap_Free(&local), 0);
    Sem_Wait(SEM_HEAP);
    EXPECT_EQ(Heap_Free(nullptr), 0);
    Sem_Release(SEM_HEAP);
    EXPECT_EQ(Heap_LiveCount(), 2);
    EXPECT_EQ(Heap_TotalSize(), 25u);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(HeapTest, DamagedGuardGivesABoxAndALinePerWordAndTheBlockGoesBack)
{
    for (const uint32_t damaged : {1u, 16u}) {
        auto* b = static_cast<uint8_t*>(alloc(6, "x\\svc_orma.cpp", 99));
        std::memset(b + 6, 0x11, damaged);
        std::erase(blocks_, b);
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
    ASSERT_TRUE(wait_until([&] { return faults_.count() == 1; }));
    EXPECT_FALSE(wait_until([&] { return unstamped.load() != nullptr; }, 200ms)) << "went past a held lock";
    keep(Heap_Alloc(8));
    other.join();
    keep(unstamped);
    ASSERT_EQ(blocks_.size(), 2u);
    EXPECT_EQ(stamp_of(blocks_[0]), "\\main.cpp:9");
    EXPECT_EQ(stamp_of(blocks_[1]), ":0");
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].title, "Warning");
    EXPECT_EQ(faults_.faults()[0].text, "heap allocation without PRE_ALLOC - macro. Please correct !");
    EXPECT_EQ(faults_.faults()[0].icon, 0x30u);
    sem_set_wait_limit(1000); // a lock left taken would now show its box
    EXPECT_NE(alloc(1), nullptr);
    sem_set_wait_limit(SEM_WAIT_LIMIT_MS);
    EXPECT_EQ(faults_.count(), 1u);
}

TEST_F(HeapTest, FullTableIsReportedOnceWithEveryBlockAndClearsTheStamp)
{
    for (int i = 0; i < HEAP_TABLE_SIZE - 1; ++i)
        ASSERT_NE(alloc(static_cast<uint32_t>(i % 3), "src\\svc_orma.cpp", static_cast<uint32_t>(i + 1)), nullptr);
    ASSERT_NE(alloc(100, "src/svc_seq_orma.cpp", 5000), nullptr); // the 1000th still fits
    EXPECT_EQ(faults_.count(), 0u);

    StdoutCapture out;
    out.start();
    EXPECT_EQ(alloc(1, "y\\full.cpp", 1), nullptr);
    const std::string console = out.stop();
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].title, "Error");
    EXPECT_EQ(faults_.faults()[0].text, "too much heap objects");
    EXPECT_EQ(faults_.faults()[0].icon, 0x10u);
    std::string expected = "\nStill allocated Heap Objects:\n=============================";
    expected += "\nTotalSize: " + std::to_string(Heap_TotalSize());
    expected += "\nMax requested heap: " + std::to_string(Heap_MaxRequested());
    for (int i = 0; i < HEAP_TABLE_SIZE - 1; ++i)
        expected += "\n" + std::to_string(i % 3) + " bytes allocated in File: \\svc_orma.cpp at line " + std::to_string(i + 1);
    expected += "\n100 bytes allocated in File: /svc_seq_orma.cp at line 5000";
    EXPECT_EQ(read_text_file("heap_dump.txt"), expected);
    EXPECT_EQ(console, expected);

    // The failure gave the lock back and cleared its stamp: after a release, an allocation without
    // a stamp of its own warns and is listed nameless.
    release(blocks_.front());
    void* unstamped = keep(Heap_Alloc(2));
    EXPECT_EQ(stamp_of(unstamped), ":0");
    EXPECT_EQ(faults_.count(), 2u);
}

} // namespace
