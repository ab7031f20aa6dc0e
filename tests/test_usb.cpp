// The USB link under Wine against the simulated device (ormasim --usb) through the test build's
// driver table: the device client's blocks and enumeration and the host channel's receive step in
// this process, then host processes (usb_host, next to the test build's DLL) as one host, sharing
// the device, through an unplug, and unloading the library.
#include "usb/device_client.h"
#include "usb/host_channel.h"
#include "usb/usb_driver.h"
#include "usb/usb_driver_simdev.h"
#include "console_capture.h"
#include "test_support.h"
#include "usb_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr char SPIN[] = "|/-\\";
constexpr char PATH0[] = "\\\\?\\ormasim#usb#0#{b7aa4035-5d4b-4907-9175-891b827e2e09}";
const Bytes CONNECTED{0xF0, 0xE0, 0x03, 0xFF, 0x01, 0x12};
const Bytes DISCONNECTED{0xF0, 0xE0, 0x03, 0xFF, 0x00, 0x12};

struct NoTermination : testing::Environment { // no stop in this process falls back to it
    void TearDown() override { EXPECT_EQ(ThreadRecord::TerminateCount(), 0u); }
};
const auto* const g_no_termination = testing::AddGlobalTestEnvironment(new NoTermination);
// A crash fails the program: under Wine one on a corrupt heap can end it with status 0.
LONG WINAPI fail_on_crash(EXCEPTION_POINTERS*)
{
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
const auto g_crash_filter = SetUnhandledExceptionFilter(fail_on_crash);

std::string program_folder()
{
    char path[MAX_PATH];
    const std::string self(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return self.substr(0, self.rfind('\\') + 1);
}

// Console text without the spinner's "\r" and character.
std::string without_spinner(std::string text)
{
    for (size_t at; (at = text.find('\r')) != std::string::npos;)
        text.erase(at, at + 1 < text.size() && std::strchr(SPIN, text[at + 1]) ? 2 : 1);
    return text;
}

std::string repeated(const std::string& text, size_t times)
{
    std::string all;
    while (times-- > 0)
        all += text;
    return all;
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i)
        text += (std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]), cell);
    return text;
}

// The line of an attempt to open the device's data channel while another process holds it.
std::string failed_open()
{
    return std::string("Failed to open3 (") + PATH0 + "\\PIPE00) LastError:  0xe7 / 231";
}

// A program of the build as a process of its own, in a folder of its own: standard input from
// the test, standard output and error into out.txt and err.txt there.
class Process {
public:
    Process(const std::string& command_line, const std::string& folder) : folder_(folder + "\\")
    {
        CreateDirectoryA(folder.c_str(), nullptr);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE input = nullptr;
        CreatePipe(&input, &input_, &inherit, 0);
        SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA start{};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = input;
        start.hStdOutput = CreateFileA((folder_ + "out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherit, CREATE_ALWAYS, 0, nullptr);
        start.hStdError = CreateFileA((folder_ + "err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, CREATE_ALWAYS, 0, nullptr);
        std::string line = command_line;
        EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &start, &info_))
            << line;
        for (HANDLE h : {input, start.hStdOutput, start.hStdError, info_.hThread})
            CloseHandle(h);
    }
    ~Process()
    {
        CloseHandle(input_); // a host ends at the end of its input
        if (!ended(10000))
            TerminateProcess(info_.hProcess, 99);
        CloseHandle(info_.hProcess);
    }
    void command(const std::string& line)
    {
        DWORD n = 0;
        WriteFile(input_, (line + "\n").data(), static_cast<DWORD>(line.size() + 1), &n, nullptr);
    }
    bool ended(DWORD ms) const { return WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0; }
    std::string out() const { return read_text_file(folder_ + "out.txt"); }
    std::string err() const { return read_text_file(folder_ + "err.txt"); }
    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    HANDLE input_ = nullptr;
    PROCESS_INFORMATION info_{};
};

// One request to the running simulator; its reply, or "" without one.
std::string control(const std::string& request)
{
    constexpr char PIPE[] = "\\\\.\\pipe\\ormasim_usb";
    HANDLE pipe = CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && WaitNamedPipeA(PIPE, 2000))
        pipe = CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    DWORD n = 0;
    char reply[4096];
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    const bool ok = WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &n, nullptr) &&
                    ReadFile(pipe, reply, sizeof reply, &n, nullptr);
    CloseHandle(pipe);
    return ok ? std::string(reply, n) : "";
}

// ormasim --usb with the options, ready when constructed, asked to quit at the end.
struct Simulator : Process {
    explicit Simulator(const std::string& options = "")
        : Process(program_folder() + "ormasim.exe --usb --record rx.txt " + options, "sim")
    {
        DeleteFileA((folder() + "rx.txt").c_str());
        EXPECT_TRUE(wait_until([&] { return out().find("ormasim: ready\n") != std::string::npos; })) << out();
    }
    ~Simulator() { EXPECT_EQ(control("quit"), "ok"); }
    std::vector<std::string> received() const
    {
        std::vector<std::string> lines;
        std::istringstream in(read_text_file(folder() + "rx.txt"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

// A host process (usb_host) with a log configuration of its own: the general log records all.
struct Host : Process {
    ~Host() { EXPECT_EQ(out().find("ThreadRecord:"), std::string::npos) << out(); } // no thread terminated
    explicit Host(const std::string& name) : Process(program_folder() + "simdev\\usb_host.exe", name)
    {
        const std::string ini = "[ORMA_GENERAL]\nLogging = ALL\nFile = ORMA_Notifications.txt\n";
        FILE* f = std::fopen((folder() + "ORMA_DLL_Log.ini").c_str(), "w");
        std::fputs(ini.c_str(), f);
        std::fclose(f);
    }
    struct Report {
        long long ms;
        std::string text;
    };
    std::vector<Report> reports() const
    {
        std::vector<Report> all;
        std::istringstream in(err());
        for (Report r; in >> r.ms && std::getline(in >> std::ws, r.text);)
            all.push_back(r);
        return all;
    }
    // The reports that begin with `prefix`, from the n-th report on.
    std::vector<Report> find(const std::string& prefix, size_t from = 0) const
    {
        std::vector<Report> found;
        const auto all = reports();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].text.starts_with(prefix))
                found.push_back(all[i]);
        return found;
    }
    // Gives the command and waits until `count` reports begin with `prefix` (from the n-th on).
    Report await(const std::string& command, const std::string& prefix, size_t count = 1, size_t from = 0,
                 milliseconds deadline = milliseconds(15000))
    {
        if (!command.empty())
            Process::command(command);
        EXPECT_TRUE(wait_until([&] { return find(prefix, from).size() >= count; }, deadline))
            << "no " << prefix << " after " << command << "\n" << err();
        const auto found = find(prefix, from);
        return found.size() >= count ? found[count - 1] : Report{-1, ""};
    }
    long long exit_ms() { return std::stoll(await("exit", "exit").text.substr(5)); }
};

// A client end of the owner's pipe n in this process, read as a byte stream.
HANDLE open_pipe(int n)
{
    const std::string name = "\\\\.\\pipe\\cccNamedPipe" + std::to_string(n);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(wait_until([&] {
        return (pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) !=
               INVALID_HANDLE_VALUE;
    }));
    return pipe;
}

Bytes read_pipe(HANDLE pipe, DWORD count)
{
    DWORD available = 0;
    if (!wait_until([&] { return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available >= count; }))
        return {};
    Bytes got(count);
    return ReadFile(pipe, got.data(), count, &available, nullptr) ? got : Bytes{};
}

Bytes block(std::initializer_list<uint8_t> header, Bytes payload = {})
{
    Bytes b(header);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// Messages from pipes 3, 15 and 0 and from MsgToDevice reach the device as blocks; the answers
// and a block for client 0xF5 go back to the pipe of their client number.
TEST(Device, BlocksReachTheDeviceAndAnswersTheirPipes)
{
    Simulator sim;
    ConsoleCapture console;
    CcClient device;
    device.SetTraceFlags(0);
    ASSERT_TRUE(device.Start(0));
    Bytes long_message(250);
    for (size_t i = 0; i < long_message.size(); ++i)
        long_message[i] = static_cast<uint8_t>(i);
    const struct {
        int pipe;
        Bytes message;
        std::string at_device;
        Bytes answer;
    } cases[] = {
        {3, {0x12}, "41 03 12 ", block({0x41, 0x03, 0x92})},
        {15, {0x12, 0x34}, "42 0F 12 34", block({0x42, 0x0F, 0x92, 0x34})},
        {0, {0x01, 0x02, 0x03}, "4F 00 03 00 01 02 03", block({0x4F, 0x00, 0x03, 0x00, 0x81, 0x02, 0x03})},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        const HANDLE pipe = open_pipe(c.pipe);
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(pipe, c.message.data(), static_cast<DWORD>(c.message.size()), &n, nullptr));
        expected.push_back(c.at_device);
        ASSERT_TRUE(wait_until([&] { return sim.received().size() == expected.size(); }));
        const Bytes answer = read_pipe(pipe, static_cast<DWORD>(c.answer.size()));
        EXPECT_EQ(Bytes(answer.begin(), answer.begin() + std::min<size_t>(answer.size(), 3)),
                  Bytes(c.answer.begin(), c.answer.begin() + 3));
        if (c.answer.size() > 4) { // an 'A' block's fourth byte has no meaning
            EXPECT_EQ(answer, c.answer);
        }
        CloseHandle(pipe);
    }
    // Called directly (the pipe service is idle now): the client number's low four bits only, 250
    // bytes as the longest block, 251 and 0 bytes refused.
    const HANDLE pipe3 = open_pipe(3);
    const HANDLE pipe5 = open_pipe(5);
    EXPECT_TRUE(device.MsgToDevice(0x13, long_message.data(), 250));
    EXPECT_FALSE(device.MsgToDevice(0x13, long_message.data(), 251) || device.MsgToDevice(0, long_message.data(), 0));
    expected.push_back(hex(block({0x4F, 0x03, 0xFA, 0x00}, long_message)));
    Bytes answer = block({0x4F, 0x03, 0xFA, 0x00}, long_message);
    answer[4] = 0x80;
    EXPECT_EQ(read_pipe(pipe3, 254), answer);
    EXPECT_EQ(control("inject 41 F5 C1 00"), "ok");
    EXPECT_EQ(read_pipe(pipe5, 4), (Bytes{0x41, 0xF5, 0xC1, 0x00}));
    auto got = sim.received();
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got[0].starts_with(expected[0]) && got[0].size() == 11) << got[0];
    got[0] = expected[0];
    EXPECT_EQ(got, expected);
    EXPECT_EQ(console.text(ConsoleStream::Out), "");
    CloseHandle(pipe3);
    CloseHandle(pipe5);
}

// The enumeration takes the interface of the index when it opens, else the first that opens; a
// path that would not fit 256 bytes with "\PIPE00", or no interface that opens, gives the invalid
// handle without a line. With no device only the spinner turns; with the device held by another,
// every attempt prints "Failed to open3".
TEST(Device, EnumerationChoosesTheInterfaceAndFailsInSilenceWithoutOne)
{
    const struct {
        const char* options;
        int index;
        int used; // -1: none
    } cases[] = {
        {"--interfaces 2 --closed-index 0", 0, 1}, {"--interfaces 2 --closed-index 1", 1, 0},
        {"--interfaces 2", 1, 1},                  {"--path-length 248", 0, 0}, // 255 with "\PIPE00"
        {"--path-length 249", 0, -1},              {"--closed-index 0", 0, -1},
    };
    for (const auto& c : cases) {
        Simulator sim(c.options);
        ConsoleCapture console;
        const HANDLE device = OpenDevicePipe(USB_INTERFACE_GUID, c.index, "PIPE00", FILE_FLAG_OVERLAPPED);
        EXPECT_EQ(device != INVALID_HANDLE_VALUE, c.used >= 0) << c.options;
        const std::string held = "held through interface " + std::to_string(c.used);
        if (c.used >= 0) {
            EXPECT_TRUE(wait_until([&] { return control("state").find(held) != std::string::npos; })) << c.options;
        }
        EXPECT_EQ(console.text(ConsoleStream::Out), "") << c.options;
        CloseHandle(device);
    }
    const auto spins = [](const ConsoleCapture& console) {
        return std::ranges::count(console.text(ConsoleStream::Out), '\r');
    };
    {
        ConsoleCapture console;
        CcClient lone;
        EXPECT_FALSE(lone.Start(0));
        EXPECT_TRUE(wait_until([&] { return spins(console) >= 3; }));
        lone.StopThread();
        EXPECT_EQ(without_spinner(console.text(ConsoleStream::Out)), "");
    }
    Simulator sim;
    CcClient owner;
    owner.SetTraceFlags(0);
    ASSERT_TRUE(owner.Start(0));
    ConsoleCapture console;
    CcClient second;
    EXPECT_FALSE(second.Start(0));
    EXPECT_TRUE(wait_until([&] { return spins(console) >= 3; }));
    second.StopThread();
    const std::string text = console.text(ConsoleStream::Out);
    // One attempt in Start, then one before each turn of the spinner.
    EXPECT_EQ(without_spinner(text), repeated(failed_open(),
                                              static_cast<size_t>(spins(console)) + 1));
}

// SetupAPI insists on the size fields of its own architecture: the interface data record is 28
// bytes for 32-bit programs and 32 for 64-bit ones; the detail record's fixed part is 5 and 8.
TEST(Device, SetupApiRecordSizesAreThoseOfTheArchitecture)
{
    const UsbSimdevRecordSizes expected = sizeof(void*) == 4 ? UsbSimdevRecordSizes{28, 5} : UsbSimdevRecordSizes{32, 8};
    Simulator sim;
    const HANDLE device = OpenDevicePipe(USB_INTERFACE_GUID, 0, "PIPE00", FILE_FLAG_OVERLAPPED);
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
    CloseHandle(device);
    const UsbSimdevRecordSizes seen = usb_simdev_record_sizes();
    EXPECT_EQ(seen.interface_data, expected.interface_data);
    EXPECT_EQ(seen.detail, expected.detail);
}

// What the channel hands to the host, in order, and how often the spinner had turned then.
std::mutex g_got_lock;
std::vector<Bytes> g_got;
std::vector<size_t> g_spins_then;
const ConsoleCapture* g_console = nullptr;

int32_t record_message(const uint8_t* message, int32_t length)
{
    const size_t spins = g_console ? static_cast<size_t>(std::ranges::count(g_console->text(ConsoleStream::Out), '\r')) : 0;
    std::lock_guard hold(g_got_lock);
    g_got.emplace_back(message, message + length);
    g_spins_then.push_back(spins);
    return 0;
}

std::vector<Bytes> got()
{
    std::lock_guard hold(g_got_lock);
    return g_got;
}

// The test's end of pipe 0, in the owner's place.
struct OwnerEnd {
    OwnerEnd() { listen(); }
    ~OwnerEnd()
    {
        CloseHandle(pipe);
        CloseHandle(connect.hEvent);
    }
    void listen()
    {
        ResetEvent(connect.hEvent);
        ConnectNamedPipe(pipe, &connect);
    }
    bool connected() { return WaitForSingleObject(connect.hEvent, 0) == WAIT_OBJECT_0; }
    bool write(const Bytes& bytes)
    {
        OVERLAPPED o{};
        o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        const BOOL ok = WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &o) ||
                        GetOverlappedResult(pipe, &o, &n, TRUE);
        CloseHandle(o.hEvent);
        return ok;
    }
    HANDLE pipe = CreateNamedPipeA("\\\\.\\pipe\\cccNamedPipe0", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 1 << 17, 1 << 17, 0, nullptr);
    OVERLAPPED connect{0, 0, {}, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

// The receive step. Without an owner: unanswered commands are answered by 0x85, one per tick and
// no more, and the disconnected notification comes after 41 steps. With pipe 0 fed by the test: a
// block that has not fully arrived is not read; a failed peek breaks the pipe twice; a header
// announcing 65535 bytes is dropped whole; more answers than commands make up nothing.
TEST(HostChannel, ReceiveStepWithoutOwnerAndOnAPipeFedByTheTest)
{
    ConsoleCapture console;
    g_console = &console;
    HostCommandChannel channel;
    channel.SetCallbacks(record_message, record_message);
    EXPECT_FALSE(channel.Start(300));
    for (int i = 0; i < 3; ++i)
        channel.CountSent();
    ASSERT_TRUE(wait_until([] { return got().size() == 4; }, milliseconds(15000)));
    EXPECT_EQ(got(), (std::vector<Bytes>{{0x85}, {0x85}, {0x85}, DISCONNECTED}));
    EXPECT_EQ(g_spins_then.back(), 41u);
    EXPECT_EQ(without_spinner(console.text(ConsoleStream::Out)), "");
    console.clear();
    g_got.clear();

    OwnerEnd owner;
    const Bytes partial = {0x4F, 0x00, 0x0A, 0x00, 0x81, 1, 2, 3, 4, 5, 6, 7}; // 12 of 14 bytes
    ASSERT_TRUE(wait_until([&] { return owner.connected(); }));
    ASSERT_TRUE(owner.write(partial)); // before the first peek, 75 ms after the announcement
    ASSERT_TRUE(wait_until([] { return got().size() == 1; }));
    std::this_thread::sleep_for(milliseconds(300)); // the step waits: nothing is read meanwhile
    EXPECT_EQ(channel.ReadCount(), 0u);
    DisconnectNamedPipe(owner.pipe); // the next peek fails, and the read on the closed pipe too
    ASSERT_TRUE(wait_until([] { return got().size() == 3; }));
    EXPECT_EQ(got(), (std::vector<Bytes>{CONNECTED, DISCONNECTED, DISCONNECTED}));
    EXPECT_EQ(without_spinner(console.text(ConsoleStream::Out)),
              "PeekNamedPipe FAILED! LastError: 0xe9 / 233.\nReadFile FAILED! LastError: 0x6 / 6.\n");

    owner.listen();
    ASSERT_TRUE(wait_until([] { return got().size() == 4; }));
    Bytes huge = {0x4F, 0x00, 0xFF, 0xFF}; // its payload looks like blocks: none may come out
    for (int i = 0; i < 65535; ++i)
        huge.push_back(i % 4 == 0 ? 0x41 : i % 4 == 2 ? 0xC5 : 0x00);
    const uint32_t reads = channel.ReadCount();
    std::thread([&] { owner.write(huge); }).join();
    ASSERT_TRUE(owner.write({0x41, 0x00, 0x81, 0x00}) && owner.write(partial));
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(owner.write({8, 9}));
    ASSERT_TRUE(wait_until([] { return got().size() == 6; }));
    EXPECT_EQ(got()[4], (Bytes{0x81}));
    EXPECT_EQ(got()[5], (Bytes{0x81, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_GE(channel.ReadCount() - reads, 65539u / 254); // never more than the buffer at once
    // Two answers, three commands before: the counts are equal. One more answer than commands: a
    // break makes up nothing (one or two notifications, as the break meets the read or the peek).
    ASSERT_TRUE(owner.write({0x41, 0x00, 0x81, 0x00}));
    ASSERT_TRUE(wait_until([] { return got().size() == 7; }));
    DisconnectNamedPipe(owner.pipe);
    ASSERT_TRUE(wait_until([] { return got().size() >= 8; }));
    std::this_thread::sleep_for(milliseconds(300));
    const auto after = got();
    EXPECT_TRUE(after.size() <= 9 && std::all_of(after.begin() + 7, after.end(), [](const Bytes& m) { return m == DISCONNECTED; }))
        << hex(after.back()) << " of " << after.size();
    channel.StopThread();
    g_console = nullptr;
    EXPECT_EQ(console.text(ConsoleStream::Out).find("XXX"), std::string::npos);

    // Blocks of one read, in order; trailing bytes ignored; messages to the module dropped.
    for (const size_t trailing : {1, 2, 3}) {
        g_got.clear();
        Bytes read = {0x42, 0x00, 0xC1, 0x02, 0x4F, 0x00, 0x03, 0x00, 0x81, 0x05, 0x06, 0x41, 0x00, 0x12, 0x00,
                      0x4F, 0x00, 0x03, 0x00, 0x45, 0x01, 0x02, 0x41, 0x00, 0xC5};
        read.resize(read.size() - 3 + trailing);
        channel.OnReceive(read.data(), static_cast<uint16_t>(read.size()));
        EXPECT_EQ(got(), (std::vector<Bytes>{{0xC1, 0x02}, {0x81, 0x05, 0x06}})) << trailing;
    }
}

// A command that the response deadline answered (counted as answered elsewhere) gets no 0x85 of
// the channel's own when the pipe is down: of two unanswered commands only one is answered here.
TEST(HostChannel, CommandAnsweredElsewhereIsNotAnsweredAgain)
{
    ConsoleCapture console;
    g_console = &console;
    g_got.clear();
    HostCommandChannel channel;
    channel.SetCallbacks(record_message, record_message);
    channel.CountSent();
    channel.CountSent();
    channel.CountAnswered();
    EXPECT_FALSE(channel.Start(300));
    EXPECT_TRUE(wait_until([] { return got().size() == 1; }, milliseconds(5000)));
    EXPECT_FALSE(wait_until([] { return got().size() > 1; }, milliseconds(500))) << "a second 0x85";
    channel.StopThread();
    g_console = nullptr;
    EXPECT_EQ(got(), std::vector<Bytes>{{0x85}});
}

// Process A in mode 3 owns the device: version lines, the connected notification first, 10,000
// commands of 1 to 250 bytes in order, notifications to the callback, everything in the log;
// then a host that polls, and ormactl in mode 4, each in turn the owner.
TEST(Hosts, OneHostOwnsTheDeviceAndExchangesInOrder)
{
    Simulator sim;
    {
        Host a("a");
        a.await("load", "loaded");
        a.await("init 3 cb", "init");
        EXPECT_EQ(a.out(), "\nUSB Kernel Mode Driver:   ormasim usb driver : 1.0.0\n"
                           "\nUSB Device Library:       ormasim device lib : 1.0.0 simulated\n"
                           "\nUSB Interface Library:     ormasim interface : "
                           "interface library 1.0.0, simulated: a reply of 64 bytes, no zero\n");
        ASSERT_FALSE(a.find("rx").empty());
        EXPECT_EQ(a.find("rx")[0].text, "rx " + hex(CONNECTED));
        constexpr uint32_t SEED = 11;
        constexpr long COUNT = 10000;
        const auto run = a.await("run 10000 11", "run", 1, 0, milliseconds(240000));
        EXPECT_TRUE(run.text.starts_with("run ok 10000 ")) << run.text;
        std::printf("mode 3, callback: %s ms, %.0f round trips per second\n", run.text.c_str() + 13,
                    COUNT * 1000.0 / std::stod(run.text.substr(13)));
        a.await("send 7F 02 02", "rx BF 02 02", 1, 0);
        a.await("send 7F 03", "rx BF 03");
        EXPECT_LT(a.exit_ms(), 200);
        const auto reports = a.reports();
        std::vector<std::string> rx;
        for (const auto& r : reports)
            if (r.text.starts_with("rx"))
                rx.push_back(r.text.substr(3, 5));
        EXPECT_EQ(rx, (std::vector<std::string>{"F0 E0", "E0 46", "E0 46", "BF 02", "F0 01", "BF 03"}));
        // The log: every message sent and received, each command beside its answer.
        std::istringstream log(read_text_file(a.folder() + "ORMA_Notifications.txt"));
        std::vector<std::string> logged;
        for (std::string line; std::getline(log, line);)
            if (line.starts_with("[ "))
                logged.push_back(line);
        const auto entry = [](const Bytes& m) {
            std::string line = "[";
            char cell[8];
            for (const uint8_t b : m)
                line += (std::snprintf(cell, sizeof cell, " 0x%02x", b), cell);
            return line + " ]";
        };
        ASSERT_EQ(logged.size(), 1 + 2 * COUNT + 7u);
        EXPECT_EQ(logged[0], entry(CONNECTED));
        for (uint32_t i = 0; i < COUNT; ++i) { // a command is logged once written: its answer may come first
            Bytes command = usb_run_command(SEED, i);
            Bytes response = command;
            response[0] = static_cast<uint8_t>(0x80 | (command[0] & 0x3F));
            std::set<std::string> pair{logged[1 + 2 * i], logged[2 + 2 * i]};
            ASSERT_EQ(pair, (std::set<std::string>{entry(command), entry(response)})) << i;
        }
        a.command("quit");
        EXPECT_TRUE(a.ended(5000));
    }
    Host p("p");
    p.await("load", "loaded");
    p.await("init 3 poll", "init");
    p.await("send 7F 02 01", "rx E0 46");
    p.await("", "rx BF 02 01", 1, 0);
    EXPECT_EQ(p.find("rx").size(), 2u); // the connected notification came before the first poll
    EXPECT_LT(p.exit_ms(), 200);
    p.command("quit");
    EXPECT_TRUE(p.ended(5000));
    Process ctl(program_folder() + "simdev\\ormactl.exe --mode 4 --callback send 01 \"40 01 02\"", "ctl");
    ASSERT_TRUE(ctl.ended(15000));
    const std::string out = ctl.out();
    for (const char* line : {"<- error        F0 E0 03 FF 01 12\n-> command      01\n<- response     81  (",
                             "-> command      40 01 02\n<- response     80 01 02  (", "ormactl: sent 2, responses 2"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

// B in mode 4 while A in mode 3 holds pipe 0: the device refuses B, B's commands are answered by
// 0x85 and the disconnected notification comes after 41 steps. A exits but stays: B talks through
// A's device. A ends: B owns the device within 2 s.
TEST(Hosts, TwoProcessesShareTheDevice)
{
    Simulator sim;
    Host a("a");
    Host b("b");
    a.await("load", "loaded");
    a.await("init 3 cb", "init");
    b.await("load", "loaded");
    const auto init = b.await("init 4 cb", "init");
    b.await("send 01", "rx 85");
    b.await("send 40 01 02", "rx 85", 2);
    const auto down = b.await("", "rx " + hex(DISCONNECTED), 1, 0, milliseconds(15000));
    EXPECT_GE(down.ms - (init.ms - std::stoll(init.text.substr(5))), 41 * 250); // from the start of init
    EXPECT_TRUE(b.find("rx " + hex(CONNECTED)).empty());
    EXPECT_LT(a.exit_ms(), 200);
    size_t mark = b.reports().size();
    b.await("", "rx " + hex(CONNECTED), 1, mark); // on A's pipe 0, through A's device
    b.await("send 7F 02 01", "rx BF 02 01", 1, mark);
    EXPECT_EQ(b.find("rx E0 46", mark).size(), 1u);
    mark = b.reports().size();
    a.command("quit");
    ASSERT_TRUE(a.ended(5000));
    const auto a_gone = Clock::now();
    b.await("", "rx " + hex(CONNECTED), 1, mark, milliseconds(2000)); // B owns the device now
    EXPECT_LT(Clock::now() - a_gone, milliseconds(2000));
    EXPECT_EQ(b.find("rx", mark)[0].text, "rx " + hex(DISCONNECTED));
    b.await("send 40 01 02", "rx 80 01 02", 1, mark);
    EXPECT_LT(b.exit_ms(), 200);
    std::string text = without_spinner(b.out());
    for (size_t at; (at = text.find(failed_open())) != std::string::npos;)
        text.erase(at, failed_open().size());
    EXPECT_TRUE(text.starts_with("ReadFile FAILED! LastError: 0x") && text.ends_with(".\n") &&
                std::ranges::count(text, '\n') == 1) // A's pipe 0 went with A
        << text;
    EXPECT_NE(b.out().find(failed_open()), std::string::npos);
}

// Unplugged: every client of the owner's pipes loses its pipe, A gets the disconnected
// notification and 0x85 for its unanswered command. Plugged in again: A's channel is back within
// 1 s, and traffic goes on without duplicates.
TEST(Hosts, UnplugAndReplug)
{
    Simulator sim;
    Host a("a");
    a.await("load", "loaded");
    a.await("init 3 cb", "init");
    const HANDLE other = open_pipe(7);
    a.command("send 7F 06 07 D0"); // answered after 2000 ms, unless the device goes first
    const auto sent = Clock::now();
    ASSERT_TRUE(wait_until([&] { return sim.received().size() == 1; }));
    EXPECT_EQ(control("unplug"), "ok");
    a.await("", "rx " + hex(DISCONNECTED));
    a.await("", "rx 85");
    DWORD available = 0;
    EXPECT_TRUE(wait_until([&] { return !PeekNamedPipe(other, nullptr, 0, nullptr, &available, nullptr); }));
    CloseHandle(other);
    EXPECT_EQ(control("plug"), "ok");
    a.await("", "rx " + hex(CONNECTED), 2, 0, milliseconds(1000));
    const auto run = a.await("run 300 5", "run", 1, 0, milliseconds(30000));
    EXPECT_EQ(run.text.substr(0, 11), "run ok 300 ");
    std::this_thread::sleep_until(sent + milliseconds(2500)); // the unplugged device's answer never comes
    std::vector<std::string> rx;
    for (const auto& r : a.find("rx"))
        rx.push_back(r.text);
    EXPECT_EQ(rx, (std::vector<std::string>{"rx " + hex(CONNECTED), "rx " + hex(DISCONNECTED), "rx 85",
                                            "rx " + hex(CONNECTED)}));
    EXPECT_LT(a.exit_ms(), 200);
    EXPECT_EQ(a.out().find("Failed to open3"), std::string::npos);
}

// FreeLibrary after ORMA_DLL_Exit, while the pipe service still serves, then LoadLibrary and
// ORMA_DLL_Init: the library owns the device again and answers come.
TEST(Hosts, UnloadWhileThePipeServiceServesThenLoadAgain)
{
    Simulator sim;
    Host a("a");
    for (int load = 1; load <= 2; ++load) {
        a.await("load", "loaded", load);
        a.await("init 3 cb", "init", load);
        a.await("send 40 01 02", "rx 80 01 02", load);
        EXPECT_LT(a.exit_ms(), 200);
        CloseHandle(open_pipe(2)); // still served
        const auto freed = a.await("free", "freed", load);
        EXPECT_LT(std::stoll(freed.text.substr(6)), 2000);
        EXPECT_EQ(CreateFileA("\\\\.\\pipe\\cccNamedPipe2", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
    }
    a.command("quit");
    EXPECT_TRUE(a.ended(5000));
}

} // namespace
