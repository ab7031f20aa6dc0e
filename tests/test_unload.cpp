// The library freed while its link's receive thread still runs (no ORMA_DLL_Exit), then loaded
// again: nothing hangs or crashes, the first receive thread is gone, and the second load works.
// Runs against the module simulator, whose port the runner writes into the settings file.
#include "test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>

namespace {

using InitFn = int32_t(__cdecl*)(int32_t, int32_t, uint32_t, void*);
using SendFn = int32_t(__cdecl*)(const uint8_t*, uint8_t);
using ReceiveFn = int32_t(__cdecl*)(uint8_t*, uint8_t*);
using ExitFn = int32_t(__cdecl*)();

int thread_count()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

template <typename Fn>
Fn entry(HMODULE dll, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

TEST(Unload, FreeLibraryWithoutExitStopsTheReceiveThreadAndALaterLoadWorks)
{
    HMODULE dll = LoadLibraryA("ORMA_DLL.dll");
    ASSERT_NE(dll, nullptr);
    const int before = thread_count();
    ASSERT_EQ(entry<InitFn>(dll, "ORMA_DLL_Init")(2, 2, 0, nullptr), 0);
    const int running = thread_count();
    ASSERT_GT(running, before); // the receive thread
    ASSERT_TRUE(FreeLibrary(dll));
    EXPECT_EQ(GetModuleHandleA("ORMA_DLL.dll"), nullptr);
    EXPECT_TRUE(wait_until([&] { return thread_count() < running; }, std::chrono::milliseconds(5000)))
        << "the receive thread outlived the library";

    dll = LoadLibraryA("ORMA_DLL.dll");
    ASSERT_NE(dll, nullptr);
    ASSERT_EQ(entry<InitFn>(dll, "ORMA_DLL_Init")(2, 2, 0, nullptr), 0);
    const uint8_t command[] = {0x01, 0x42};
    ASSERT_EQ(entry<SendFn>(dll, "ORMA_DLL_Send_Message")(command, 2), 0);
    uint8_t buffer[255];
    uint8_t length = 0;
    EXPECT_TRUE(wait_until([&] { return entry<ReceiveFn>(dll, "ORMA_DLL_Receive_Message")(buffer, &length) == 0; }));
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x81, 0x42}));
    EXPECT_EQ(entry<ExitFn>(dll, "ORMA_DLL_Exit")(), 0);
    EXPECT_TRUE(FreeLibrary(dll));
}

} // namespace
