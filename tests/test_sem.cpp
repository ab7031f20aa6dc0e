// The global locks: binary semaphores by index, usable across threads.
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
    FaultRecorder faults_;
};

TEST_F(SemTest, FreeLockIsTakenAtOnceAndEveryIndexIsIndependent)
{
    for (int i = 0; i < SEM_COUNT; ++i)
        Sem_Wait(i);
    for (int i = 0; i < SEM_COUNT; ++i)
        Sem_Release(i);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(SemTest, SecondWaiterOnAnotherThreadBlocksUntilRelease)
{
    Sem_Wait(SEM_MSG_LISTS);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        Sem_Wait(SEM_MSG_LISTS);
        acquired = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(acquired.load());
    Sem_Release(SEM_MSG_LISTS); // released by a thread other than the next holder
    EXPECT_TRUE(wait_until([&] { return acquired.load(); }));
    waiter.join();
    Sem_Release(SEM_MSG_LISTS);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST_F(SemTest, LockTakenOnOneThreadIsReleasedOnAnother)
{
    std::thread([] { Sem_Wait(SEM_HEAP); }).join();
    std::thread([] { Sem_Release(SEM_HEAP); }).join();
    Sem_Wait(SEM_HEAP);
    Sem_Release(SEM_HEAP);
    EXPECT_EQ(faults_.count(), 0u);
}

TEST(SemBackend, ReleasingTwiceLeavesCountOne)
{
    SemHandle* sem = sem_os_create();
    ASSERT_NE(sem, nullptr);
    sem_os_release(sem);
    sem_os_release(sem);
    EXPECT_TRUE(sem_os_wait(sem, 0));
    EXPECT_FALSE(sem_os_wait(sem, 20)); // a second count would have let this through
    sem_os_release(sem);
    EXPECT_TRUE(sem_os_wait(sem, 0));
    sem_os_close(sem);
}

TEST(SemBackend, NullHandleFailsAtOnce)
{
    EXPECT_FALSE(sem_os_wait(nullptr, 30000));
    sem_os_release(nullptr);
    sem_os_close(nullptr);
}

TEST_F(SemTest, WaitOnClosedLocksShowsTheTimeoutBox)
{
    Sem_CloseAll();
    Sem_Wait(SEM_HEAP);
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].title, "Error");
    EXPECT_EQ(faults_.faults()[0].text, "Timeout during waiting for semaphore");
    EXPECT_EQ(faults_.faults()[0].icon, 0x10u);
    Sem_Release(SEM_HEAP); // no effect, no crash
}

TEST_F(SemTest, RecreatedLocksAreFresh)
{
    Sem_Wait(SEM_HEAP);
    Sem_CloseAll();
    Sem_CreateAll();
    Sem_Wait(SEM_HEAP);
    Sem_Release(SEM_HEAP);
    EXPECT_EQ(faults_.count(), 0u);
}

} // namespace
