// The USB link under Wine against the simulated device (ormasim --usb) through the test build's
// driver table: the device client's blocks and enumeration and the host channel's receive step in
// this process, then host processes (usb_host, next to the test build's DLL) as one host, sharing
// the device, through an unplug, and unloading the library.
#include "capture/pcapng.h"
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
    void kill() { TerminateProcess(info_.hProcess, 9), ended(10000); }
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
    std::vector<std::string> received() const { return split(read_text_file(folder() + "rx.txt")); }
};

// A host process (usb_host) with a log configuration of its own: the general log records all.
struct Host : Process {
    ~Host() { EXPECT_EQ(out().find("ThreadRecord:"), std::string::npos) << out(); } // no thread terminated
    explicit Host(const std::string& name) : Process(program_folder() + "simdev\\usb_host.exe", name) { set_ini(""); }
    // Read at the next init.
    void set_ini(const std::string& more)
    {
        const std::string ini = "[ORMA_GENERAL]\nLogging = ALL\nFile = ORMA_Notifications.txt\n" + more;
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
    // Loads the library and starts it with the init command ("init 3 cb", ...); its report.
    Report start(const std::string& init)
    {
        await("load", "loaded");
        return await(init, "init");
    }
    // Gives the init command without waiting; for mode 3, until the owner has its device.
    bool begin(const std::string& init)
    {
        await("load", "loaded");
        command(init);
        return !init.starts_with("init 3") ||
               wait_until([&] { return out().find("USB Interface Library") != std::string::npos; });
    }
    void quit()
    {
        command("quit");
        EXPECT_TRUE(ended(5000));
    }
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
// every attempt prints "Failed to open3". SetupAPI insists on the size fields of its own
// architecture: the interface data record is 28 bytes for 32-bit programs and 32 for 64-bit ones;
// the detail record's fixed part is 5 and 8.
TEST(Device, EnumerationChoosesTheInterfaceAndFailsInSilenceWithoutOne)
{
    const UsbSimdevRecordSizes sizes = sizeof(void*) == 4 ? UsbSimdevRecordSizes{28, 5} : UsbSimdevRecordSizes{32, 8};
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
        EXPECT_TRUE(usb_simdev_record_sizes().interface_data == sizes.interface_data &&
                    usb_simdev_record_sizes().detail == sizes.detail) << c.options;
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

// What the channel hands to the host, in order.
std::mutex g_got_lock;
std::vector<Bytes> g_got;

int32_t record_message(const uint8_t* message, int32_t length)
{
    std::lock_guard hold(g_got_lock);
    g_got.emplace_back(message, message + length);
    return 0;
}

std::vector<Bytes> got()
{
    std::lock_guard hold(g_got_lock);
    return g_got;
}

// The test's end of pipe 0, in the owner's place: a message pipe, as the owner makes it.
struct OwnerEnd {
    OwnerEnd() { ConnectNamedPipe(pipe, &connect); }
    ~OwnerEnd()
    {
        CloseHandle(pipe);
        CloseHandle(connect.hEvent);
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

// The channel reports facts only: a command is written while the pipe is up and refused while it
// is down, the pipe's loss is reported once per break before the disconnected notification, and
// the channel never makes up a 0x85 of its own (the host interface answers the commands).
struct Facts {
    static int32_t take(const uint8_t* message, int32_t length)
    {
        const Bytes m(message, message + length);
        up = m == CONNECTED ? true : m == DISCONNECTED ? false : up.load();
        if (m == Bytes{0x85})
            ++no_answer;
        if (m == DISCONNECTED && losses != ++downs)
            ++out_of_order; // each break is reported before its notification, once
        return 0;
    }
    static void lost() { ++losses; }
    static inline std::atomic<bool> up{false};
    static inline std::atomic<int> no_answer{0}, losses{0}, downs{0}, out_of_order{0};
};

TEST(HostChannel, ReportsFactsOnlyWhileThePipeComesAndGoes)
{
    ConsoleCapture console;
    HostCommandChannel channel;
    channel.SetCallbacks(Facts::take, Facts::take, Facts::lost);
    EXPECT_FALSE(channel.Start(300));
    const uint8_t command = 0x41;
    EXPECT_FALSE(channel.Send(&command, 1)) << "written without a pipe";
    for (int cycle = 1; cycle <= 4; ++cycle) {
        auto owner = std::make_unique<OwnerEnd>();
        ASSERT_TRUE(wait_until([&] { return Facts::up.load(); })) << cycle;
        EXPECT_TRUE(channel.Send(&command, 1)) << cycle;
        owner.reset();
        ASSERT_TRUE(wait_until([&] { return !Facts::up && Facts::losses == cycle; })) << cycle;
        EXPECT_FALSE(channel.Send(&command, 1)) << cycle;
    }
    std::this_thread::sleep_for(milliseconds(300)); // nothing more comes
    EXPECT_EQ(Facts::losses, 4);
    EXPECT_EQ(Facts::out_of_order, 0);
    EXPECT_EQ(Facts::no_answer, 0);
    channel.StopThread();
}

// Each pipe message is taken whole: a header that announces more than its message holds, a block
// with a payload of two bytes, a message longer than any block cost only themselves.
TEST(HostChannel, AMalformedMessageCostsOnlyItself)
{
    ConsoleCapture console;
    HostCommandChannel channel;
    channel.SetCallbacks(record_message, record_message);
    OwnerEnd owner;
    EXPECT_TRUE(channel.Start(300));
    ASSERT_TRUE(wait_until([] { return got().size() == 1; }));
    Bytes too_long(300, 0x41);
    too_long[2] = 0xC4;
    for (const Bytes& m : {Bytes{0x4F, 0x00, 0xFF, 0xFF, 0x41, 0x00, 0xC5, 0x00}, Bytes{0x4F, 0x00, 0x02, 0x00, 0xC2, 0x07},
                           too_long, Bytes{0x41, 0x00, 0xC1, 0x00}})
        ASSERT_TRUE(owner.write(m));
    ASSERT_TRUE(wait_until([] { return got().size() == 3; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(got(), (std::vector<Bytes>{CONNECTED, {0xC2, 0x07}, {0xC1}}));
    EXPECT_EQ(channel.DroppedMessageCount(), 2u);
    EXPECT_EQ(without_spinner(console.text(ConsoleStream::Out)), "\nXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX\n");
    channel.StopThread();
}

// Process A in mode 3 owns the device: version lines, the connected notification first, 10,000
// commands of 1 to 250 bytes in order, notifications to the callback; then a host that polls, and
// ormactl in mode 4, each in turn the owner.
TEST(Hosts, OneHostOwnsTheDeviceAndExchangesInOrder)
{
    Simulator sim;
    {
        Host a("a");
        a.start("init 3 cb");
        EXPECT_EQ(without_spinner(a.out()), "\nUSB Kernel Mode Driver:   ormasim usb driver : 1.0.0\n"
                           "\nUSB Device Library:       ormasim device lib : 1.0.0 simulated\n"
                           "\nUSB Interface Library:     ormasim interface : "
                           "interface library 1.0.0, simulated: a reply of 64 bytes, no zero\n");
        ASSERT_FALSE(a.find("rx").empty());
        EXPECT_EQ(a.find("rx")[0].text, "rx " + hex(CONNECTED));
        constexpr long COUNT = 10000;
        const auto run = a.await("run 10000 11", "run", 1, 0, milliseconds(240000));
        EXPECT_TRUE(run.text.starts_with("run ok 10000 ")) << run.text;
        std::printf("mode 3, callback: %s ms, %.0f round trips per second\n", run.text.c_str() + 13,
                    COUNT * 1000.0 / std::stod(run.text.substr(13)));
        a.await("send 7F 02 02", "rx BF 02 02", 1, 0);
        a.await("send 7F 03", "rx BF 03");
        EXPECT_LT(a.exit_ms(), 200);
        std::vector<std::string> rx;
        for (const auto& r : a.find("rx"))
            rx.push_back(r.text.substr(3, 5));
        EXPECT_EQ(rx, (std::vector<std::string>{"F0 E0", "E0 46", "E0 46", "BF 02", "F0 01", "BF 03"}));
        a.quit();
    }
    Host p("p");
    p.start("init 3 poll");
    p.await("send 7F 02 01", "rx E0 46");
    p.await("", "rx BF 02 01", 1, 0);
    EXPECT_EQ(p.find("rx").size(), 2u); // the connected notification came before the first poll
    EXPECT_LT(p.exit_ms(), 200);
    p.quit();
    Process ctl(program_folder() + "simdev\\ormactl.exe --mode 4 --callback send 01 \"40 01 02\"", "ctl");
    ASSERT_TRUE(ctl.ended(15000));
    const std::string out = ctl.out();
    for (const char* line : {"<- error        F0 E0 03 FF 01 12\n-> command      01\n<- response     81  (",
                             "-> command      40 01 02\n<- response     80 01 02  (", "ormactl: sent 2, responses 2"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

// A capture of a USB session marks the pipe's notification as made up; what the host sent and
// got goes to a file, for tshark to compare with the capture (usb_capture_tshark).
TEST(Hosts, ACaptureHoldsEveryMessageInOrder)
{
    using namespace orma_capture;
    Simulator sim;
    Host a("a");
    a.set_ini("[ORMA_CAPTURE]\nFile = usb.pcapng\n");
    a.start("init 3 cb");
    const auto run = a.await("run 5000 7", "run", 1, 0, milliseconds(240000));
    ASSERT_TRUE(run.text.starts_with("run ok 5000 ")) << run.text;
    EXPECT_LT(a.exit_ms(), 200);
    a.quit();
    std::vector<Record> records;
    std::string error;
    ASSERT_TRUE(read_file((a.folder() + "usb.pcapng").c_str(), records, error)) << error;
    std::vector<Bytes> made_up;
    for (const Record& r : records) {
        size_t n = 0;
        if (const uint8_t* m = r.message(&n); m && r.header.origin == MADE_UP)
            made_up.emplace_back(m, m + n);
    }
    EXPECT_EQ(made_up, std::vector<Bytes>{CONNECTED});
    std::FILE* expected = std::fopen((a.folder() + "usb_expected.txt").c_str(), "w");
    ASSERT_NE(expected, nullptr);
    for (uint32_t i = 0; i < 5000; ++i) {
        Bytes m = usb_run_command(7, i);
        for (const char direction : {'>', '<'}) {
            std::fputc(direction, expected);
            for (const uint8_t b : m)
                std::fprintf(expected, " %02x", b);
            std::fputc('\n', expected);
            m[0] = static_cast<uint8_t>(0x80 | (m[0] & 0x3F)); // the answer
        }
    }
    std::fclose(expected);
}

// The device plays back what it captured: the host gets the same messages, notifications with
// their recorded times among them, and every command finds its recorded answer.
TEST(Hosts, AReplayGivesTheHostWhatTheCaptureHeld)
{
    const auto session = [](const std::string& options, const std::string& summary) {
        Simulator sim(options);
        Host a("a");
        a.start("init 3 cb");
        a.await("send 7F 02 02", "rx BF 02 02", 1, 0);
        a.await("send 40 01 02", "rx 80 01 02");
        a.await("send 7F 03", "rx BF 03");
        EXPECT_LT(a.exit_ms(), 200);
        a.quit();
        EXPECT_TRUE(wait_until([&] { return sim.out().find(summary) != std::string::npos; })) << sim.out();
        std::vector<std::string> rx;
        for (const auto& r : a.reports())
            if (r.text.starts_with("rx"))
                rx.push_back(r.text);
        return rx;
    };
    const auto recorded = session("--capture usb_sim.pcapng", "ormasim: ");
    const auto replayed = session("--replay usb_sim.pcapng", "replay: matched 3, unmatched 0");
    EXPECT_EQ(replayed.size(), 7u); // connected, 2 sub-channels, 2 answers, the error, an answer
    EXPECT_EQ(replayed, recorded);
}

// The answers of the serial and TCP links (the end-to-end table), under protocol 1 and 2, with a
// callback and polling: a command sent while there is no pipe to an owner, and a response that
// comes after the 300 ms deadline. Under protocol 1 a polling host stores nothing.
TEST(Hosts, EveryModeAnswersTheSame)
{
    const struct {
        const char* how;
        int protocol;
        const char* no_pipe;
        const char* late;
    } cases[] = {
        {"cb", 2, "85", "85, BF 06 03 E8"},
        {"poll", 2, "85", "85, BF 06 03 E8"},
        {"cb", 1, "85", "BF 06 03 E8"},
        {"poll", 1, "", ""},
    };
    // Sends the command once the link is up (when the start's wait ends); what the host heard
    // in `ms` after it, the link's notifications aside.
    const auto answers = [](const std::string& init, const std::string& command, int ms) {
        Host host("host");
        host.set_ini("[ORMA_LINK]\nResponseTimeout = 300\n");
        host.start(init);
        const size_t mark = host.reports().size();
        host.await(command, "sent 0");
        std::this_thread::sleep_for(milliseconds(ms));
        host.quit();
        std::string text;
        for (const auto& r : host.find("rx ", mark))
            if (!r.text.starts_with("rx F0 E0 03 FF"))
                text += (text.empty() ? "" : ", ") + r.text.substr(3);
        return text;
    };
    for (const auto& c : cases) {
        const std::string init = "init 4 " + std::string(c.how) + " " + std::to_string(c.protocol);
        SCOPED_TRACE(init);
        EXPECT_EQ(answers(init, "send 01", 1000), c.no_pipe); // no device, no owner; and no more
        Simulator sim;
        EXPECT_EQ(answers(init, "send 7F 06 03 E8", 1500), c.late); // answered after 1000 ms
    }
}

// A host in mode 4 whose owner serves: Init returns as soon as its pipe is connected, a median of
// 300 ms or less over 20 starts; with StartWait = FIXED it waits the described 2000 ms.
TEST(Hosts, AStartWithAnOwnerServingIsQuick)
{
    Simulator sim;
    Host owner("owner");
    owner.start("init 3 cb");
    owner.await("exit", "exit"); // its device and pipes go on serving
    Host b("b");
    b.await("load", "loaded");
    std::vector<long long> took;
    for (size_t i = 1; i <= 20; ++i) {
        took.push_back(std::stoll(b.await("init 4 cb", "init", i).text.substr(5)));
        b.await("exit", "exit", i);
    }
    std::sort(took.begin(), took.end());
    std::printf("mode 4, an owner serving: Init median %lld ms of 20 (fastest %lld, slowest %lld)\n", took[10],
                took.front(), took.back());
    EXPECT_LE(took[10], 300);
    b.set_ini("[ORMA_LINK]\nStartWait = FIXED\n");
    EXPECT_GE(std::stoll(b.await("init 4 cb", "init", 21).text.substr(5)), 2000);
    b.quit();
}

// B in mode 4 while A in mode 3 holds pipe 0: the device refuses B, B's commands are answered by
// 0x85 and the disconnected notification comes after 41 steps. A exits but stays: B talks through
// A's device. A ends: B owns the device within 2 s.
TEST(Hosts, TwoProcessesShareTheDevice)
{
    Simulator sim;
    Host a("a");
    Host b("b");
    a.start("init 3 cb");
    const auto init = b.start("init 4 cb");
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

// Owner A in mode 3 sends without pause, B and C in mode 4 every 20 ms; A is killed in ten rounds
// and quits while it sends in ten. A quit takes well under a thread's stop bound (2 s): the system
// has ended the library's threads wherever they were, and the library waits for none of them (one
// wait per thread took 6 s and more). One of B and C gets real answers within 3 s of A's end, and
// both end with every command answered, by its own answer or one 0x85.
TEST(Hosts, TakeOverWhileEveryoneSends)
{
    Simulator sim;
    for (int round = 0; round < 20; ++round) {
        Host a("a"), b("b"), c("c");
        ASSERT_TRUE(a.begin("init 3 cb"));
        for (Host* h : {&b, &c})
            h->begin("init 4 cb");
        for (Host* h : {&a, &b, &c})
            h->await("", "init");
        a.command("trips 60000 0 1");
        b.command("trips 150 20 2");
        c.command("trips 150 20 3");
        ASSERT_TRUE(wait_until([&] { return !a.find("real").empty(); }));
        const size_t b_mark = b.reports().size(), c_mark = c.reports().size();
        const auto asked = Clock::now();
        if (round % 2 == 0) {
            a.kill();
        } else {
            a.command("quit");
            ASSERT_TRUE(a.ended(10000)) << "round " << round;
            EXPECT_LT(Clock::now() - asked, milliseconds(1500)) << "round " << round;
        }
        const auto gone = Clock::now(); // either way A's process has ended (kill waits for it)
        EXPECT_TRUE(wait_until([&] { return !b.find("real", b_mark).empty() || !c.find("real", c_mark).empty(); },
                               milliseconds(3000)))
            << "round " << round << ", A ended: " << a.ended(0) << "\n" << a.out();
        std::printf("round %d: A ended %lld ms after the kill or quit, real answers %lld ms after that\n", round,
                    static_cast<long long>(std::chrono::duration_cast<milliseconds>(gone - asked).count()),
                    static_cast<long long>(std::chrono::duration_cast<milliseconds>(Clock::now() - gone).count()));
        for (Host* h : {&b, &c})
            EXPECT_TRUE(h->await("", "trips", 1, 0, milliseconds(30000)).text.starts_with("trips done 150 ")) << h->err();
        for (Host* h : {&b, &c})
            EXPECT_NE(h->find("trips")[0].text.find(" wrong 0 "), std::string::npos) << h->err();
    }
}

// Unplugged for 2 s while A and B send every 20 ms: neither stalls, and whichever reaches pipe 0
// gets real answers again within 3 s of the replug. Every client of the owner's pipes loses it.
TEST(Hosts, UnplugAndReplugWhileTwoSend)
{
    Simulator sim;
    Host a("a"), b("b");
    ASSERT_TRUE(a.begin("init 3 cb"));
    b.start("init 4 cb");
    a.await("", "init");
    const HANDLE other = open_pipe(7);
    // Long enough runs (12 s at least) that both still send after the replug, however busy
    // the machine.
    a.command("trips 600 20 1");
    b.command("trips 600 20 2");
    b.await("", "none");
    a.await("", "real");
    EXPECT_EQ(control("unplug"), "ok");
    a.await("", "none");
    DWORD available = 0;
    EXPECT_TRUE(wait_until([&] { return !PeekNamedPipe(other, nullptr, 0, nullptr, &available, nullptr); }));
    CloseHandle(other);
    std::this_thread::sleep_for(milliseconds(2000)); // the time the device stays away
    const size_t a_mark = a.reports().size(), b_mark = b.reports().size();
    EXPECT_EQ(control("plug"), "ok");
    EXPECT_TRUE(wait_until([&] { return !a.find("real", a_mark).empty() || !b.find("real", b_mark).empty(); },
                           milliseconds(3000)));
    for (Host* h : {&a, &b}) {
        const auto trips = h->await("", "trips", 1, 0, milliseconds(60000)).text;
        EXPECT_TRUE(trips.starts_with("trips done 600 ") && trips.find(" wrong 0 ") != std::string::npos) << trips;
    }
}

// A client of pipe 3 sends 2000 commands and then reads nothing: the owner's own round trips go on
// with no gap of 2 s, the client is disconnected with one line, and pipe 3 serves the next one.
TEST(Hosts, AClientThatStopsReadingIsDisconnected)
{
    Simulator sim;
    Host a("a");
    a.start("init 3 cb");
    a.command("trips 1500 5 1");
    a.await("", "real");
    HANDLE held = open_pipe(3);
    Bytes command(20, 0x41);
    DWORD n = 0;
    for (int i = 0; i < 2000 && WriteFile(held, command.data(), static_cast<DWORD>(command.size()), &n, nullptr); ++i) {
    } // the owner may let it go before it has sent them all
    const std::string line = "CcNamedPipe: pipe client 3 takes no blocks: disconnected (";
    EXPECT_TRUE(wait_until([&] { return a.out().find(line) != std::string::npos; }, milliseconds(15000))) << a.out();
    // The line comes as the owner lets the client go: its end of the pipe closes just after.
    EXPECT_TRUE(wait_until([&] { return !PeekNamedPipe(held, nullptr, 0, nullptr, &n, nullptr); }));
    CloseHandle(held);
    held = open_pipe(3); // answers still owed to the one that left are dropped for a while
    DWORD available = 0;
    EXPECT_TRUE(wait_until([&] {
        return (PeekNamedPipe(held, nullptr, 0, nullptr, &available, nullptr) && available > 0) ||
               (WriteFile(held, command.data(), 3, &n, nullptr), Sleep(500), false);
    }, milliseconds(10000)));
    EXPECT_EQ(read_pipe(held, 7), (Bytes{0x4F, 0x03, 0x03, 0x00, 0x81, 0x41, 0x41}));
    CloseHandle(held);
    const auto trips = a.await("", "trips", 1, 0, milliseconds(60000)).text;
    EXPECT_TRUE(trips.starts_with("trips done 1500 real 1500 none 0 wrong 0 maxgap ")) << trips;
    EXPECT_LT(std::stoll(trips.substr(trips.rfind(' '))), 2000) << trips;
    EXPECT_EQ(std::ranges::count(a.out(), '\n'), 7) << a.out(); // the version lines and the one line
}

// Sixteen processes, 500 round trips each: every command answered, by its own answer or 0x85.
TEST(Hosts, SixteenProcessesEachGetEveryAnswer)
{
    Simulator sim;
    std::vector<std::unique_ptr<Host>> hosts;
    for (int i = 0; i < 16; ++i) {
        hosts.push_back(std::make_unique<Host>("p" + std::to_string(i)));
        hosts.back()->command("load");
        hosts.back()->command(i == 0 ? "init 3 cb" : "init 4 cb");
    }
    for (int i = 0; i < 16; ++i)
        hosts[i]->await("", "init", 1, 0, milliseconds(60000));
    for (int i = 0; i < 16; ++i)
        hosts[i]->command("trips 500 0 " + std::to_string(i + 1));
    long real = 0;
    for (auto& h : hosts) {
        const auto trips = h->await("", "trips", 1, 0, milliseconds(120000)).text;
        EXPECT_TRUE(trips.starts_with("trips done 500 ") && trips.find(" wrong 0 ") != std::string::npos) << trips;
        real += trips.size() > 20 ? std::stol(trips.substr(20)) : 0;
    }
    EXPECT_GT(real, 0);
}

// Framing faults from the device (a header announcing 65535 bytes in an 8-byte block, a payload of
// two bytes, a block of 1004 bytes) and from a raw client of pipe 5 (messages of 300 and 65535
// bytes, an empty one): each costs at most itself, the next genuine block arrives, and the owner
// keeps its device and its clients.
TEST(Hosts, FramingFaultsCostOnlyThemselves)
{
    Simulator sim;
    Host a("a");
    a.start("init 3 cb");
    a.await("", "rx " + hex(CONNECTED));
    const HANDLE raw = open_pipe(5);
    for (const char* b : {"4F 00 FF FF 41 00 C5 00", "4F 00 02 00 C2 07", "41 00 C1 00"})
        EXPECT_EQ(control(std::string("inject ") + b), "ok");
    EXPECT_EQ(control("inject 4F 00 E8 03" + repeated(" 41", 1000)), "ok");
    EXPECT_EQ(control("inject 42 00 C3 01"), "ok");
    a.await("", "rx C3 01");
    std::vector<std::string> rx;
    for (const auto& r : a.find("rx"))
        rx.push_back(r.text);
    EXPECT_EQ(rx, (std::vector<std::string>{"rx " + hex(CONNECTED), "rx C2 07", "rx C1", "rx C3 01"}));
    DWORD n = 0;
    for (const size_t length : {300, 65535, 0, 3}) {
        const Bytes message(length, 0x41);
        ASSERT_TRUE(WriteFile(raw, message.data(), static_cast<DWORD>(length), &n, nullptr));
    }
    EXPECT_EQ(read_pipe(raw, 7), (Bytes{0x4F, 0x05, 0x03, 0x00, 0x81, 0x41, 0x41}));
    CloseHandle(raw);
    a.await("send 40 01 02", "rx 80 01 02");
    EXPECT_EQ(sim.received(), (std::vector<std::string>{"4F 05 03 00 41 41 41", "4F 00 03 00 40 01 02"}));
    // The device's thread and the channel's each say theirs: in either order.
    const std::string out = without_spinner(a.out());
    auto lines = split(out.substr(out.find("no zero\n") + 8));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"", "CcClient: a block of 1004 bytes from the device dropped: longer than 254 bytes",
                                               "CcNamedPipe: a message of 300 bytes from pipe client 5 dropped: longer than 250 bytes",
                                               "CcNamedPipe: a message of 65535 bytes from pipe client 5 dropped: longer than 250 bytes",
                                               "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"})) // the header of 65535
        << out;
}

// A host message of 251 to 255 bytes does not fit one device block: refused (result 1), unless
// [ORMA_LINK] SplitLongMessages = ON gives back the splitting into commands of 250 bytes and the
// rest, from the host and from a raw pipe client alike.
TEST(Hosts, LongMessagesAreRefusedUnlessSplittingIsAskedFor)
{
    Simulator sim;
    Host a("a");
    a.start("init 3 cb");
    EXPECT_EQ(a.await("fill 251", "sent").text, "sent 1");
    EXPECT_EQ(a.await("fill 250", "sent", 2).text, "sent 0");
    a.await("", "rx 81");
    a.await("exit", "exit");
    a.set_ini("[ORMA_LINK]\nSplitLongMessages = ON\n");
    a.await("init 3 cb", "init", 2);
    EXPECT_EQ(a.await("fill 255", "sent", 3).text, "sent 0");
    a.await("", "rx 81", 2);
    const HANDLE raw = open_pipe(4);
    const Bytes message(300, 0x41);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(raw, message.data(), 300, &n, nullptr));
    EXPECT_EQ(read_pipe(raw, 254 + 54).size(), 254u + 54u);
    CloseHandle(raw);
    const auto got = sim.received();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].substr(0, 11), "4F 00 FA 00");
    EXPECT_EQ(got[1].substr(0, 11), "4F 00 FA 00");
    EXPECT_EQ(got[2], "4F 00 05 00 FA FB FC FD FE");
    EXPECT_EQ(got[3].substr(0, 11), "4F 04 FA 00");
    EXPECT_EQ(got[4].substr(0, 11), "4F 04 32 00");
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
    a.quit();
}

} // namespace
