// Log_Message throughput with all four channels on: the general and error channels select by
// filters of eight expressions each, the sub-channel channel prints both tables. Log files are
// written into the current directory.
#include "logging/log_state.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace {

const char* const CONFIG = "[ORMA_GENERAL]\n"
                           "Logging = ENCLOSED_FILTER\n"
                           "File = bench_gen.txt\n"
                           "Filter = 01 02, 03 x 04, 81 01, 82 x x 02, C1 05, D0 x 01, E0 47, E0 46\n"
                           "[ORMA_ERROR]\n"
                           "Logging = ENCLOSED_FILTER\n"
                           "File = bench_err.txt\n"
                           "Filter = F0 01, F0 02, F0 03, F0 04, F0 05, F0 06, F0 07, F0 x 08\n"
                           "[ORMA_FSI]\nLogging = ON\nFile = bench_fsi.txt\n"
                           "[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nFile = bench_sub.txt\n"
                           "LogListById = ON\nLogListByCU = ON\n";

bool start()
{
    std::FILE* f = std::fopen("bench_logging.ini", "w");
    if (!f)
        return false;
    std::fputs(CONFIG, f);
    std::fclose(f);
    return Log_Init("bench_logging.ini") == 1;
}

// One message of a kind: matched by the last general expression (worst case of the filter),
// an error notification matched by the last error expression, a response that no filter
// matches, a sub-channel notification (one of eight configured sub-channels).
std::vector<std::vector<uint8_t>> messages(int kind)
{
    std::vector<std::vector<uint8_t>> out;
    for (uint8_t i = 0; i < 8; ++i) {
        switch (kind) {
        case 0:
            out.push_back({0xE0, 0x47, i, 0x00, 0x10, 0x20});
            break;
        case 1:
            out.push_back({0xF0, i, 0x08, 0x00});
            break;
        case 2:
            out.push_back({0x85, i, 0x00});
            break;
        default: {
            const uint32_t word = i | 0x80u | (uint32_t{i} * 24u << 8) | (2u << 18) | (24u << 22);
            out.push_back({0xE0, 0x46, static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                           static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word), 0, 0, 0x10, i});
        }
        }
    }
    return out;
}

void BM_LogMessage(benchmark::State& state)
{
    if (!start()) {
        state.SkipWithError("log configuration not accepted");
        return;
    }
    const auto msgs = messages(static_cast<int>(state.range(0)));
    size_t i = 0;
    for (auto _ : state) {
        const auto& m = msgs[i++ & 7];
        benchmark::DoNotOptimize(Log_Message(m.data(), static_cast<uint16_t>(m.size())));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    Log_Exit();
}

} // namespace

// 0: general filter, last expression; 1: error filter; 2: no channel selects it;
// 3: sub-channel notification with both tables of eight rows.
BENCHMARK(BM_LogMessage)->Arg(0)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK_MAIN();
