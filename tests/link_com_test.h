// The COM port transport against a module on the far end of a serial line. The transport opens
// port 1; the module's end is the other side of a pseudo-terminal pair natively
// (link_com_module_posix.cpp) and COM2 joined to COM1 under Wine (link_com_module_win32.cpp,
// run through wine_com_run.sh).
#pragma once

#include "ORMA_DLL.h"
#include "link/com_port.h"
#include "link/frame.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

struct ComModuleLine; // the OS's own state of the line

class ComModule {
public:
    ComModule();
    ~ComModule();
    ComModule(const ComModule&) = delete;
    ComModule& operator=(const ComModule&) = delete;

    // Empty when the line is ready, otherwise why it is not.
    std::string fault() const;
    bool write(const Bytes& bytes);
    // What arrives until `count` bytes are in or 5 s have passed.
    Bytes read(size_t count);
    ComModuleLine& line() { return *line_; }

private:
    ComModuleLine* line_;
};

class ComTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(module_.fault(), ""); }
    void TearDown() override
    {
        ORMA_DLL_Exit();
        if (ops_.close)
            ops_.close(ops_.context);
    }
    void open_port()
    {
        ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
        ASSERT_EQ(ops_.open(ops_.context), 0);
    }
    // What the port delivers until `count` bytes are in or a read waits 5 s in vain.
    Bytes port_read(size_t count)
    {
        Bytes got;
        uint8_t chunk[RXBUF_SIZE];
        for (int n; got.size() < count && (n = ops_.read_timeout(ops_.context, chunk, sizeof chunk, 5000)) > 0;)
            got.insert(got.end(), chunk, chunk + n);
        return got;
    }

    ComModule module_; // outlives TearDown: the line is put back after the port closed
    LinkOps ops_{};
};
