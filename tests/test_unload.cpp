// The library freed while its link's receive thread still runs (no ORMA_DLL_Exit), then loaded
// again: nothing hangs or crashes, the first receive thread is gone, and the second load works.
// Runs against the module simulator on 127.0.0.1:5002.
#include "test_support.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
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

SendFn g_send;
std::atomic<long> g_sends{0};

DWORD WINAPI send_forever(void*)
{
    const Bytes longest(255, 0x41);
    for (;; ++g_sends)
        g_send(longest.data(), 255);
}

DWORD WINAPI free_library(void* dll)
{
    return FreeLibrary(static_cast<HMODULE>(dll)) ? 0 : 1;
}

// The system ends a thread in the middle of ORMA_DLL_Send_Message (a module that never reads holds
// it in its write), as it ends every other thread at the end of a process before the library is
// unloaded: the unload does not wait for that send for ever. The test is the module, on the
// library's port.
TEST(Unload, AThreadEndedInsideASendDoesNotHoldTheUnload)
{
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5002);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    HMODULE dll = LoadLibraryA("ORMA_DLL.dll");
    ASSERT_NE(dll, nullptr);
    ASSERT_EQ(entry<InitFn>(dll, "ORMA_DLL_Init")(2, 1, 0, nullptr), 0);
    const SOCKET peer = accept(listener, nullptr, nullptr); // and never read
    g_send = entry<SendFn>(dll, "ORMA_DLL_Send_Message");
    HANDLE threads[2] = {CreateThread(nullptr, 0, send_forever, nullptr, 0, nullptr),
                         CreateThread(nullptr, 0, send_forever, nullptr, 0, nullptr)};
    Sleep(500); // the buffers are full: one send waits in its write (1 s at most), the other for it
    for (HANDLE t : threads) {
        TerminateThread(t, 0);
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    HANDLE unload = CreateThread(nullptr, 0, free_library, dll, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(unload, 10000), WAIT_OBJECT_0) << "the unload waits for the ended send";
    CloseHandle(unload);
    EXPECT_GT(g_sends.load(), 0);
    closesocket(peer);
    closesocket(listener);
    WSACleanup();
}

} // namespace
