// The C++ wrapper in use: a handler that counts responses, commands sent from the main thread
// one after another, and a bounded wait for each response.
//
//   cpp_host [MODE] [COUNT]   (default mode 2, 20 commands)
#include "orma_link.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

int main(int argc, char** argv)
{
    const int32_t mode = argc > 1 ? std::atoi(argv[1]) : ORMA_DLL_MODE_TCP;
    const int count = argc > 2 ? std::atoi(argv[2]) : 20;
    std::mutex lock;
    std::condition_variable changed;
    int responses = 0;

    try {
        orma::Link link(mode, ORMA_DLL_PROTOCOL_FLOW, [&](orma::Bytes message) {
            if (message[0] < 0x80 || message[0] > 0xBF)
                return; // a notification
            const std::lock_guard hold(lock);
            ++responses;
            changed.notify_all();
        });
        for (int i = 0; i < count; ++i) {
            link.send({0x40, static_cast<uint8_t>(i)});
            std::unique_lock hold(lock);
            if (!changed.wait_for(hold, std::chrono::seconds(10), [&] { return responses > i; })) {
                std::fprintf(stderr, "cpp_host: no response to command %d\n", i);
                break;
            }
        }
        link.send(orma::Bytes{}); // an empty message is refused: throws
    } catch (const std::invalid_argument& e) {
        std::printf("cpp_host: as expected, %s\n", e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cpp_host: %s\n", e.what());
        return 1;
    }
    std::printf("cpp_host: %d of %d commands answered\n", responses, count);
    return responses == count ? 0 : 1;
}
