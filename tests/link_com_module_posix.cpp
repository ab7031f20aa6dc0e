// The module's end natively: the controlling side of a pseudo-terminal pair whose terminal side
// port 1 opens (ORMA_COM1). Also the tests of what only the POSIX backend does.
#include "link_com_test.h"
#include "console_capture.h"
#include "link/com_port_posix.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

struct ComModuleLine {
    int module = -1;   // the module's side
    int terminal = -1; // held open so that the line stays up between the port's opens
    std::string fault;
};

ComModule::ComModule() : line_(new ComModuleLine)
{
    char name[256];
    if (::openpty(&line_->module, &line_->terminal, name, nullptr, nullptr) != 0)
        line_->fault = std::string("openpty: ") + std::strerror(errno);
    else
        setenv("ORMA_COM1", name, 1);
}

ComModule::~ComModule()
{
    unsetenv("ORMA_COM1");
    ::close(line_->module);
    ::close(line_->terminal);
    delete line_;
}

std::string ComModule::fault() const
{
    return line_->fault;
}

bool ComModule::write(const Bytes& bytes)
{
    return ::write(line_->module, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

Bytes ComModule::read(size_t count)
{
    Bytes got;
    uint8_t chunk[300];
    pollfd p{line_->module, POLLIN, 0};
    for (ssize_t n; got.size() < count && ::poll(&p, 1, 5000) > 0 &&
                    (n = ::read(line_->module, chunk, std::min(sizeof chunk, count - got.size()))) > 0;)
        got.insert(got.end(), chunk, chunk + n);
    return got;
}

namespace {

TEST(ComDeviceName, PortNumberChoosesTheDevice)
{
    char name[64];
    for (int port : {1, 2, 9}) {
        com_device_name(static_cast<uint8_t>(port), name, sizeof name);
        const std::string com = "/dev/COM" + std::to_string(port);
        EXPECT_EQ(name, ::access(com.c_str(), F_OK) == 0 ? com : "/dev/ttyS" + std::to_string(port - 1));
    }
    setenv("ORMA_COM1", "/tmp/some-line", 1);
    com_device_name(1, name, sizeof name);
    EXPECT_STREQ(name, "/tmp/some-line");
    com_device_name(2, name, sizeof name); // only port 1 was pointed elsewhere
    EXPECT_STRNE(name, "/tmp/some-line");
    unsetenv("ORMA_COM1");
}

TEST_F(ComTest, MissingDeviceFailsRefusedSettingsFailAndTheLineOpensAgain)
{
    setenv("ORMA_COM1", "/nonexistent/COM1", 1);
    ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    unsetenv("ORMA_COM1");
    ComModule line;
    ASSERT_EQ(com_install(&ops_, 1, 12345, 2, 8, 2), 0); // no such rate
    EXPECT_EQ(ops_.open(ops_.context), -2);
    ASSERT_EQ(com_install(&ops_, 1, 115200, 7, 8, 2), 0); // no such parity code
    EXPECT_EQ(ops_.open(ops_.context), -2);
    // The line keeps the settings of the last open, so a request changes nothing but the parity
    // that a pseudo-terminal lacks: it opens all the same, again and again.
    for (uint8_t round = 0; round < 3; ++round) {
        open_port();
        ASSERT_TRUE(line.write({round}));
        EXPECT_EQ(port_read(1), Bytes{round});
        EXPECT_EQ(ops_.close(ops_.context), 0);
    }
}

// What the port asks of the line, seen through the termios seam; and a line that refuses parity.
struct Termios {
    std::vector<termios> requests;
    bool refuse_parity;
    bool pseudo_terminal;
} g_termios;

int seen_set(int fd, const termios* tio)
{
    g_termios.requests.push_back(*tio);
    if (g_termios.refuse_parity && (tio->c_cflag & PARENB)) {
        errno = EINVAL;
        return -1;
    }
    return ::tcsetattr(fd, TCSANOW, tio);
}

bool seen_pseudo_terminal(int)
{
    return g_termios.pseudo_terminal;
}

TEST_F(ComTest, ModeOneAsksForItsLineAndOnlyAPseudoTerminalGoesWithoutParity)
{
    const ComTermiosSeam seam{seen_set, seen_pseudo_terminal};
    com_posix_set_seam(&seam);
    struct Restore {
        ~Restore() { com_posix_set_seam(nullptr); }
    } restore;
    ConsoleCapture console;
    g_termios = {{}, false, false};
    ASSERT_EQ(ORMA_DLL_Init(1, 2, 0, nullptr), 0);
    ORMA_DLL_Exit();
    ASSERT_EQ(g_termios.requests.size(), 1u);
    const termios& t = g_termios.requests[0];
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8 | PARENB | CSTOPB));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG)); // raw bytes, no flow control
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_FALSE(t.c_oflag & OPOST);

    for (const bool pseudo_terminal : {false, true}) {
        g_termios = {{}, true, pseudo_terminal};
        ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
        EXPECT_EQ(ops_.open(ops_.context), pseudo_terminal ? 0 : -2);
        ASSERT_EQ(g_termios.requests.size(), pseudo_terminal ? 2u : 1u);
        EXPECT_EQ(g_termios.requests.back().c_cflag & (CSIZE | PARENB | CSTOPB),
                  static_cast<tcflag_t>(CS8 | CSTOPB | (pseudo_terminal ? 0 : PARENB)));
        ops_.close(ops_.context);
    }
}

} // namespace
