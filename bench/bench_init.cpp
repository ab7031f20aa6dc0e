// How long ORMA_DLL_Init takes with the module present: Init and Exit, over and over, in the
// mode given, with the log configuration of the current folder (StartWait among its keys).
//   bench_init MODE [COUNT]     prints the median, the fastest and the slowest Init in ms
// Mode 2 needs a module at the configured address (ormasim --tcp); mode 1 one at the configured
// port (natively ORMA_COM1 names the simulator's line).
#include "ORMA_DLL.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_init MODE [COUNT]\n");
        return 2;
    }
    const int mode = std::atoi(argv[1]);
    const int count = argc > 2 ? std::atoi(argv[2]) : 20;
    std::vector<double> took;
    for (int i = 0; i < count; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        ORMA_DLL_Init(mode, 2, 0, nullptr);
        took.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
        ORMA_DLL_Exit();
    }
    std::sort(took.begin(), took.end());
    std::printf("mode %d, %d starts: median %.2f ms, fastest %.2f ms, slowest %.2f ms\n", mode, count,
                took[took.size() / 2], took.front(), took.back());
    return 0;
}
