// The named-pipe server with real pipes and client processes (io_pipe_client), under Wine.
#include "io/named_pipe.h"
#include "console_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <array>
#include <condition_variable>
#include <thread>

namespace {

struct Message {
    uint8_t client;
    Bytes data;
};

// The owner's device: records every message, or refuses them all with an error.
class Recorder final : public PipeOwner {
public:
    BOOL MsgToDevice(uint8_t client, const uint8_t* data, uint16_t length) override
    {
        std::lock_guard lock(mutex);
        ++attempts;
        if (refuse)
            return SetLastError(refuse), FALSE;
        got.push_back({client, Bytes(data, data + length)});
        arrived.notify_all();
        return TRUE;
    }
    size_t count()
    {
        std::lock_guard lock(mutex);
        return got.size();
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Message> got;
    DWORD refuse = 0;
    int attempts = 0;
};

// The owner's sixteen instances, as its pipe service thread keeps them.
struct Owner {
    explicit Owner(PipeOwner* device)
    {
        for (int i = 0; i < PIPE_NUMBER_COUNT; ++i) {
            pipes[i].Init(device, i, 10240, 10240);
            EXPECT_TRUE(pipes[i].Create());
            events[i] = pipes[i].GetEvent();
        }
    }
    // Services whichever instance wakes the wait; WAIT_TIMEOUT when none did.
    DWORD serve(DWORD ms)
    {
        const DWORD r = WaitForMultipleObjects(PIPE_NUMBER_COUNT, events.data(), FALSE, ms);
        if (r < PIPE_NUMBER_COUNT)
            pipes[r].CheckOverlappedResult();
        return r;
    }
    std::array<CcNamedPipe, PIPE_NUMBER_COUNT> pipes;
    std::array<HANDLE, PIPE_NUMBER_COUNT> events{};
};

class Client {
public:
    explicit Client(const std::string& args)
    {
        char path[MAX_PATH];
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string line = path;
        line = "\"" + line.substr(0, line.find_last_of('\\') + 1) + "io_pipe_client.exe\" " + args;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        }
    }
    ~Client()
    {
        if (process_ && exit_code(10000) == STILL_ACTIVE)
            TerminateProcess(process_, 99);
        CloseHandle(process_);
    }
    DWORD exit_code(DWORD ms = 120000)
    {
        DWORD code = STILL_ACTIVE;
        if (process_ && WaitForSingleObject(process_, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(process_, &code);
        return code;
    }

private:
    HANDLE process_ = nullptr;
};

Bytes pattern(size_t length)
{
    Bytes b(length);
    for (size_t i = 0; i < length; ++i)
        b[i] = static_cast<uint8_t>(length + i);
    return b;
}

std::string dacl(HANDLE object)
{
    alignas(8) BYTE descriptor[1024];
    DWORD size = 0;
    char* text = nullptr;
    std::string result;
    if (GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &size) &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        result = text;
    LocalFree(text);
    return result;
}

std::string user_sid()
{
    HANDLE token = nullptr;
    alignas(8) BYTE user[128];
    DWORD size = 0;
    char* text = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text);
    const std::string sid = text ? text : "";
    LocalFree(text);
    return sid;
}

TEST(CcNamedPipe, CreateTwiceListensOnceForTheSameUserOnly)
{
    ConsoleCapture console;
    Recorder device;
    CcNamedPipe pipe;
    pipe.Init(&device, 3, 10240, 10240);
    ASSERT_TRUE(pipe.Create());
    const HANDLE handle = pipe.PipeHandle();
    EXPECT_TRUE(pipe.Create());
    EXPECT_EQ(pipe.PipeHandle(), handle);
    EXPECT_TRUE(pipe.IsPending());
    EXPECT_FALSE(pipe.WriteToClient(pattern(3).data(), 3)); // nobody connected
    EXPECT_EQ(console.text(ConsoleStream::Out), "");
    EXPECT_EQ(dacl(handle), "D:(A;;GA;;;" + user_sid() + ")(A;;GA;;;SY)");
}

// Everything a client wrote before service goes out in one call, a long message in parts of
// at most 250 bytes, and the instance is left with a read pending.
TEST(CcNamedPipe, WaitingMessagesGoOutInOneServiceInOrder)
{
    Recorder device;
    CcNamedPipe pipe;
    pipe.Init(&device, 1, 10240, 10240);
    ASSERT_TRUE(pipe.Create());
    Client client("1 hold 3 5 7 600");
    ASSERT_TRUE(wait_until([&] {
        DWORD available = 0;
        return PeekNamedPipe(pipe.PipeHandle(), nullptr, 0, nullptr, &available, nullptr) && available == 615;
    }));
    pipe.CheckOverlappedResult();
    EXPECT_TRUE(pipe.IsConnected() && pipe.IsPending());
    std::vector<size_t> sizes;
    Bytes long_message;
    for (const Message& m : device.got) {
        EXPECT_EQ(m.client, 1);
        sizes.push_back(m.data.size());
        if (sizes.size() > 3)
            long_message.insert(long_message.end(), m.data.begin(), m.data.end());
        else
            EXPECT_EQ(m.data, pattern(m.data.size()));
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{3, 5, 7, 250, 250, 100}));
    EXPECT_EQ(long_message, pattern(600));
    pipe.Close();
    EXPECT_EQ(client.exit_code(), 0u);
}

TEST(CcNamedPipe, ADisconnectedClientMakesRoomForTheNextOnTheSameName)
{
    ConsoleCapture console;
    Recorder device;
    CcNamedPipe pipe;
    pipe.Init(&device, 2, 10240, 10240);
    ASSERT_TRUE(pipe.Create());
    for (size_t round = 1; round <= 2; ++round) {
        Client client("2 quit " + std::to_string(round));
        ASSERT_EQ(client.exit_code(), 0u);
        ASSERT_TRUE(wait_until([&] {
            if (WaitForSingleObject(pipe.GetEvent(), 0) == WAIT_OBJECT_0)
                pipe.CheckOverlappedResult();
            return device.count() == round && pipe.IsPending() && !pipe.IsConnected();
        }));
        EXPECT_EQ(device.got.back().data, pattern(round));
    }
    EXPECT_EQ(console.text(ConsoleStream::Out), "");
}

TEST(CcNamedPipe, RefusedMessageIsTriedFiveTimes)
{
    struct Case {
        DWORD error;
        const char* line; // %d: the attempt
    };
    for (const Case c : {Case{ERROR_CRC, "CcNamedPipe::WriteToMaster try %d failed."},
                         Case{ERROR_GEN_FAILURE, "CcNamedPipe::WriteToMaster from pipe client 4 FAILED (lE 0x1f / 31)"}}) {
        ConsoleCapture console;
        Recorder device;
        device.refuse = c.error;
        CcNamedPipe pipe;
        pipe.Init(&device, 4, 10240, 10240);
        EXPECT_EQ(pipe.WriteToMaster(), FALSE);
        std::string expected;
        for (int attempt = 1; attempt <= 5; ++attempt) {
            char line[100];
            std::snprintf(line, sizeof line, c.line, attempt);
            expected += line;
        }
        EXPECT_EQ(console.text(ConsoleStream::Out), expected);
        EXPECT_EQ(device.attempts, 5);
    }
}

// Sixteen client processes at once, each on its own pipe: the owner's service thread forwards,
// a second thread answers as the device receive thread does, while reads are pending.
TEST(CcNamedPipe, SixteenClientsGetTheirOwnAnswers)
{
    constexpr int COUNT = 1000;
    Recorder device;
    Owner owner(&device);
    std::atomic<bool> done{false};
    std::thread service([&] {
        while (!done)
            owner.serve(100);
    });
    std::thread answers([&] {
        for (size_t next = 0; !done;) {
            std::unique_lock lock(device.mutex);
            if (!device.arrived.wait_for(lock, std::chrono::milliseconds(100), [&] { return device.got.size() > next; }))
                continue;
            Message m = device.got[next++];
            lock.unlock();
            m.data.insert(m.data.begin(), m.client);
            owner.pipes[m.client].WriteToClient(m.data.data(), static_cast<uint8_t>(m.data.size()));
        }
    });
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < PIPE_NUMBER_COUNT; ++i)
        clients.push_back(std::make_unique<Client>(std::to_string(i) + " echo " + std::to_string(COUNT)));
    for (auto& client : clients)
        EXPECT_EQ(client->exit_code(), 0u);
    done = true;
    service.join();
    answers.join();
    std::array<int, PIPE_NUMBER_COUNT> next{};
    for (const Message& m : device.got) {
        ASSERT_EQ(m.data[0], m.client); // each message reached the owner with its own pipe's number
        EXPECT_EQ(m.data[1] | m.data[2] << 8, next[m.client]++);
    }
    for (int received : next)
        EXPECT_EQ(received, COUNT);
}

// A client already there when listening starts counts as connected, a failed connect recreates
// the pipe: after serving them, nothing wakes the owner before its 5000 ms time-out.
TEST(CcNamedPipe, IdleOwnerWakesOnlyOnItsTimeOut)
{
    ConsoleCapture console;
    Recorder device;
    Owner owner(&device);
    Client early("5 hold 4");
    ASSERT_TRUE(wait_until([&] { return WaitForSingleObject(owner.events[5], 0) == WAIT_OBJECT_0; }));
    EXPECT_FALSE(owner.pipes[5].ConnectToNewClient()); // the system says 535: already connected
    EXPECT_TRUE(owner.pipes[5].IsConnected());
    Client gone("6 quit 4");
    EXPECT_EQ(gone.exit_code(), 0u);
    CancelIoEx(owner.pipes[7].PipeHandle(), nullptr); // the connect fails
    int wakes = 0;
    DWORD r = 0;
    while ((r = owner.serve(5000)) != WAIT_TIMEOUT && ++wakes < 10) {
    }
    EXPECT_EQ(r, WAIT_TIMEOUT);
    EXPECT_EQ(console.text(ConsoleStream::Out), "CcNamedPipe::CheckOverlappedResult connect to pipe client 7 FAILED");
    Client later("7 quit 4"); // pipe 7 listens again
    EXPECT_EQ(later.exit_code(), 0u);
    ASSERT_TRUE(wait_until([&] { return owner.serve(0), device.count() == 3; }));
    owner.pipes[5].Close();
    EXPECT_EQ(early.exit_code(), 0u);
}

} // namespace
