// The global locks: binary semaphores by index, taken and given back on any thread, and the
// limit after which a wait gives up with its box.
#include "support/sem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

class SemTest : public ::testing::Test {
protected:
    void SetUp() override { Sem_CreateAll(); }
    void TearDown() override { Sem_CloseAll(); }
    // Sem_Wait(index) on another thread; true when it returned within the limit (the lock is then
    // released either way, so that the thread can end).
    static bool waits_elsewhere(int index, std::chrono::milliseconds limit)
    {
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            Sem_Wait(index);
            done = true;
        });
        const bool in_time = wait_until([&] { return done.load(); }, limit);
        Sem_Release(index);
        waiter.join();
        return in_time;
    }
    FaultRecorder faults_;
};

TEST_F(SemTest, EveryIndexIsItsOwnLockAndAnyThreadMayReleaseIt)
{
    for (int i = 0; i < SEM_COUNT; ++i)
        Sem_Wait(i);
    EXPECT_FALSE(waits_elsewhere(SEM_MSG_LISTS, 50ms)); // held: the second waiter blocks
    for (int i = 0; i < SEM_COUNT; ++i)
        std::thread([i] { Sem_Release(i); }).join();
    EXPECT_TRUE(waits_elsewhere(SEM_HEAP, 5s));
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(SemTest, WaitGivesUpAfterTheLimitWithItsBox)
{
    const unsigned limit = sem_set_wait_limit(100);
    EXPECT_EQ(limit, 30000u);
    Sem_Wait(SEM_HEAP);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(waits_elsewhere(SEM_HEAP, 5s));
    sem_set_wait_limit(limit);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 95ms);
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].title, "Error");
    EXPECT_EQ(faults_.faults()[0].text, "Timeout during waiting for semaphore");
    EXPECT_EQ(faults_.faults()[0].icon, 0x10u);
}

TEST_F(SemTest, ClosedLocksFailAtOnceAndRecreatedOnesAreFree)
{
    Sem_Wait(SEM_HEAP);
    Sem_CloseAll();
    EXPECT_TRUE(waits_elsewhere(SEM_HEAP, 5s)); // no lock: the box, and no wait for the limit
    EXPECT_EQ(faults_.count(), 1u);
    Sem_CreateAll();
    EXPECT_TRUE(waits_elsewhere(SEM_HEAP, 5s));
    EXPECT_EQ(faults_.count(), 1u);
}

TEST(SemBackend, ReleasingTwiceLeavesCountOneAndNullFailsAtOnce)
{
    SemHandle* sem = sem_os_create();
    ASSERT_NE(sem, nullptr);
    sem_os_release(sem);
    sem_os_release(sem);
    EXPECT_TRUE(sem_os_wait(sem, 0));
    EXPECT_FALSE(sem_os_wait(sem, 20)); // a second count would have let this through
    sem_os_close(sem);
    EXPECT_FALSE(sem_os_wait(nullptr, 30000));
    sem_os_release(nullptr);
    sem_os_close(nullptr);
}

} // namespace
