// The tracking heap: table, guard, counters, stamp and the report of a full table.
#include "support/heap.h"
#include "support/sem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

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

    void* alloc(uint32_t size, const char* path = "C:\\src\\Services\\svc_orma\\svc_orma.cpp", uint32_t line = 7)
    {
        Heap_PreAlloc(path, line);
        void* b = Heap_Alloc(size);
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

std::string name_of(const HeapObject* e)
{
    return std::string(e->file, strnlen(e->file, HEAP_NAME_SIZE));
}

TEST_F(HeapTest, BlockIsListedWithStampAndFollowedByGuard)
{
    auto* b = static_cast<uint8_t*>(alloc(5, "C:\\work\\svc_orma.cpp", 42));
    ASSERT_NE(b, nullptr);
    const HeapObject* e = entry_of(b);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(name_of(e), "\\svc_orma.cpp");
    EXPECT_EQ(e->line, 42);
    EXPECT_EQ(e->size, 5u);
    const uint8_t guard[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    for (int w = 0; w < 4; ++w)
        EXPECT_EQ(std::memcmp(b + 5 + 4 * w, guard, 4), 0) << "guard word " << w;
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(HeapTest, StampNameStartsAtEitherSeparatorAndIsCutTo16)
{
    struct Case {
        const char* path;
        std::string name;
    } cases[] = {
        {"/home/b/src/Services/svc_orma/svc_seq_orma.cpp", "/svc_seq_orma.cpp"},
        {"C:\\a/b\\svc_orma.cpp", "\\svc_orma.cpp"},
        {"plain.cpp", "plain.cpp"},
        {"C:\\x\\a_very_long_source_name.cpp", "\\a_very_long_sou"},
    };
    for (const Case& c : cases) {
        void* b = alloc(1, c.path, 3);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(name_of(entry_of(b)), c.name.substr(0, 16)) << c.path;
    }
}

TEST_F(HeapTest, CountersFollowLiveSizesAndTheirPeak)
{
    void* a = alloc(10);
    alloc(20);
    release(a);
    alloc(5);
    EXPECT_EQ(Heap_TotalSize(), 25u);
    EXPECT_EQ(Heap_MaxRequested(), 30u);
    Heap_Init();
    EXPECT_EQ(Heap_TotalSize(), 0u);
    EXPECT_EQ(Heap_MaxRequested(), 0u);
    EXPECT_EQ(Heap_LiveCount(), 0);
    for (void* b : blocks_) // the table forgot them; give them back by hand
        std::free(b);
    blocks_.clear();
}

TEST_F(HeapTest, ZeroByteRequestTakesAnEntryAndAGuard)
{
    auto* b = static_cast<uint8_t*>(alloc(0));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Heap_LiveCount(), 1);
    EXPECT_EQ(entry_of(b)->size, 0u);
    EXPECT_EQ(b[0], 0xDE);
    release(b);
    EXPECT_EQ(faults_.count(), 0u);
    EXPECT_EQ(Heap_LiveCount(), 0);
}

TEST_F(HeapTest, ReleasingTwiceOrUnknownBlocksChangesNothing)
{
    void* a = alloc(8);
    alloc(4);
    release(a);
    EXPECT_EQ(Heap_Free(a), 0);
    int local = 0;
    EXPECT_EQ(Heap_Free(&local), 0);
    EXPECT_EQ(Heap_LiveCount(), 1);
    EXPECT_EQ(Heap_TotalSize(), 4u);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(HeapTest, NullReleaseDoesNotTakeTheLock)
{
    Sem_Wait(SEM_HEAP); // held elsewhere
    EXPECT_EQ(Heap_Free(nullptr), 0);
    Sem_Release(SEM_HEAP);
    // And the next stamp finds the lock free.
    EXPECT_NE(alloc(1), nullptr);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(HeapTest, OneByteOverrunGivesOneBoxAndOneLine)
{
    auto* b = static_cast<uint8_t*>(alloc(6, "x\\svc_orma.cpp", 99));
    b[6] = 0;
    std::erase(blocks_, b);
    StdoutCapture out;
    out.start();
    Heap_Free(b);
    const std::string printed = out.stop();
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].title, "Error");
    EXPECT_EQ(faults_.faults()[0].text, "heap consistency error");
    EXPECT_EQ(faults_.faults()[0].icon, 0x10u);
    EXPECT_EQ(printed, "\nError in Tail of memory object allocated in \\svc_orma.cpp at line 99");
    EXPECT_EQ(Heap_LiveCount(), 0);
    EXPECT_EQ(Heap_TotalSize(), 0u);
}

TEST_F(HeapTest, WholeGuardOverwrittenGivesFourBoxes)
{
    auto* b = static_cast<uint8_t*>(alloc(3));
    std::memset(b + 3, 0x11, 16);
    std::erase(blocks_, b);
    StdoutCapture out;
    out.start();
    Heap_Free(b);
    const std::string printed = out.stop();
    EXPECT_EQ(faults_.count(), 4u);
    size_t lines = 0;
    for (size_t p = printed.find("Error in Tail"); p != std::string::npos; p = printed.find("Error in Tail", p + 1))
        ++lines;
    EXPECT_EQ(lines, 4u);
    EXPECT_EQ(Heap_LiveCount(), 0);
}

TEST_F(HeapTest, AllocationWithoutStampWarnsOnceAndIsListedNameless)
{
    void* b = Heap_Alloc(12);
    ASSERT_NE(b, nullptr);
    blocks_.push_back(b);
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].title, "Warning");
    EXPECT_EQ(faults_.faults()[0].text, "heap allocation without PRE_ALLOC - macro. Please correct !");
    EXPECT_EQ(faults_.faults()[0].icon, 0x30u);
    EXPECT_EQ(name_of(entry_of(b)), "");
    EXPECT_EQ(entry_of(b)->line, 0);
    // The stamp of the next allocation is consumed as usual: no further warning.
    EXPECT_NE(alloc(1), nullptr);
    EXPECT_EQ(faults_.count(), 1u);
}

TEST_F(HeapTest, FullTableReportsAllBlocksAndReleasesTheLock)
{
    for (int i = 0; i < HEAP_TABLE_SIZE - 1; ++i)
        ASSERT_NE(alloc(static_cast<uint32_t>(i % 3), "src\\svc_orma.cpp", static_cast<uint32_t>(i + 1)), nullptr);
    ASSERT_NE(alloc(100, "src/svc_seq_orma.cpp", 5000), nullptr); // the 1000th still fits
    EXPECT_EQ(faults_.count(), 0u);

    StdoutCapture out;
    out.start();
    EXPECT_EQ(alloc(1), nullptr);
    const std::string console = out.stop();
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].text, "too much heap objects");
    EXPECT_EQ(faults_.faults()[0].title, "Error");
    EXPECT_EQ(faults_.faults()[0].icon, 0x10u);

    std::string expected = "\nStill allocated Heap Objects:\n=============================";
    expected += "\nTotalSize: " + std::to_string(Heap_TotalSize());
    expected += "\nMax requested heap: " + std::to_string(Heap_MaxRequested());
    for (int i = 0; i < HEAP_TABLE_SIZE - 1; ++i)
        expected += "\n" + std::to_string(i % 3) + " bytes allocated in File: \\svc_orma.cpp at line " + std::to_string(i + 1);
    expected += "\n100 bytes allocated in File: /svc_seq_orma.cp at line 5000"; // 16 characters kept
    EXPECT_EQ(read_text_file("heap_dump.txt"), expected);
    EXPECT_EQ(console, expected);

    // The failed allocation gave the lock back: the next one completes, and after a release
    // there is room again.
    release(blocks_.front());
    EXPECT_NE(alloc(1), nullptr);
    EXPECT_EQ(faults_.count(), 1u);
}

TEST_F(HeapTest, ThreadsAllocatingAndReleasingKeepTheTableConsistent)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRounds; ++i) {
                PRE_ALLOC();
                auto* b = static_cast<uint8_t*>(Heap_Alloc(static_cast<uint32_t>(1 + (i + t) % 50)));
                if (!b)
                    continue;
                std::memset(b, t, static_cast<size_t>(1 + (i + t) % 50));
                Heap_Free(b);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(Heap_LiveCount(), 0);
    EXPECT_EQ(Heap_TotalSize(), 0u);
    EXPECT_LE(Heap_MaxRequested(), static_cast<uint32_t>(kThreads * 50));
    EXPECT_EQ(faults_.count(), 0u);
}

} // namespace
