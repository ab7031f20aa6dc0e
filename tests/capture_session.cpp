// A host session for the capture tests: COUNT commands of many codes and lengths through the
// exports, one after the other, each waiting for its response. Writes what crossed the exports to
// exports.txt, one line per message in order: "> hex" sent, "< hex" received. Exits 1 when a
// response did not come within 5 s.
//   capture_session MODE COUNT
#include "ORMA_DLL.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_lock;
std::condition_variable g_came;
std::vector<std::string> g_lines;
int g_responses = 0;

std::string line(char direction, const uint8_t* bytes, size_t length)
{
    std::string text(1, direction);
    char hex[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

int32_t ORMA_DLL_CALL on_message(const uint8_t* message, int32_t length)
{
    const std::lock_guard hold(g_lock);
    g_lines.push_back(line('<', message, static_cast<size_t>(length)));
    if (message[0] >= 0x80 && message[0] < 0xC0)
        ++g_responses;
    g_came.notify_all();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const int mode = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    if (ORMA_DLL_Init(mode, 2, 0, on_message) != 0)
        return 1;
    bool all = true;
    for (int i = 0; i < count && all; ++i) {
        uint8_t message[64];
        const auto length = static_cast<uint8_t>(1 + (i * 7) % 40);
        message[0] = static_cast<uint8_t>(1 + i % 0x3E);
        for (int k = 1; k < length; ++k)
            message[k] = static_cast<uint8_t>(i * 31 + k);
        std::unique_lock hold(g_lock);
        g_lines.push_back(line('>', message, length));
        const int before = g_responses;
        hold.unlock();
        if (ORMA_DLL_Send_Message(message, length) != 0)
            all = false;
        hold.lock();
        all = all && g_came.wait_for(hold, std::chrono::seconds(5), [&] { return g_responses > before; });
    }
    ORMA_DLL_Exit();
    std::FILE* out = std::fopen("exports.txt", "w");
    for (const std::string& text : g_lines)
        std::fprintf(out, "%s\n", text.c_str());
    std::fclose(out);
    if (!all)
        std::fprintf(stderr, "capture_session: a command went unanswered\n");
    return all ? 0 : 1;
}
