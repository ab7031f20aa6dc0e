// The commands of a long USB run, the same in the host process that sends them and in the test
// that reads them back from the log: random lengths from 1 to 250 bytes, codes below 0x7F (0x7F
// would be a control command of the simulator).
#pragma once

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> usb_run_command(uint32_t seed, uint32_t i)
{
    uint32_t x = seed * 2654435761u + i * 40503u + 1;
    const auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
    std::vector<uint8_t> command(1 + next() % 250);
    for (uint8_t& b : command)
        b = static_cast<uint8_t>(next());
    command[0] %= 0x7F;
    return command;
}
