// A host session for the capture tests, through the exports under protocol 2 with a callback:
//   capture_session MODE FILE   the commands of FILE, one a line in hex; a line "down" or "up"
//                               waits for the library's notification that the link went down
//                               or came back, "notifications N" until N notifications in all
//                               have come
// Each command waits for its response (or the library's 0x85). Writes what crossed the exports to
// exports.txt, one line per message in order: "> hex" sent, "< hex" received. Exits 1 when an
// answer or a notification did not come within 5 s.
#include "ORMA_DLL.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_lock;
std::condition_variable g_came;
std::vector<std::string> g_lines;
int g_responses = 0;
int g_link[2] = {0, 0}; // the link notifications received: went down, came back
int g_notifications = 0;

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
    static const uint8_t LINK[] = {0xF0, 0xE0, 0x03, 0xFF};
    if ((message[0] >= 0x80 && message[0] < 0xC0) || message[0] == 0x85)
        ++g_responses;
    else if (length == 6 && std::equal(LINK, LINK + 4, message) && message[4] <= 1)
        ++g_link[message[4]];
    else
        ++g_notifications;
    g_came.notify_all();
    return 0;
}

// One command, awaiting its answer.
bool command(const std::vector<uint8_t>& message)
{
    std::unique_lock hold(g_lock);
    g_lines.push_back(line('>', message.data(), message.size()));
    const int before = g_responses;
    hold.unlock();
    if (ORMA_DLL_Send_Message(message.data(), static_cast<uint8_t>(message.size())) != 0)
        return false;
    hold.lock();
    return g_came.wait_for(hold, std::chrono::seconds(5), [&] { return g_responses > before; });
}

// The steps of the script, without comments.
std::vector<std::string> script(const char* path)
{
    std::vector<std::string> steps;
    std::ifstream in(path);
    for (std::string text; std::getline(in, text);)
        if (!text.empty() && text[0] != '#')
            steps.push_back(text);
    return steps;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const int mode = std::atoi(argv[1]);
    const std::vector<std::string> steps = script(argv[2]);
    if (ORMA_DLL_Init(mode, 2, 0, on_message) != 0)
        return 1;
    bool all = true;
    int links_awaited[2] = {0, 0};
    for (size_t i = 0; i < steps.size() && all; ++i) {
        const auto wait = [&](const char* what, auto done) {
            std::unique_lock hold(g_lock);
            all = g_came.wait_for(hold, std::chrono::seconds(5), done) ||
                  (std::fprintf(stderr, "capture_session: no %s\n", what), false);
        };
        if (steps[i] == "down" || steps[i] == "up") { // the n-th such step waits for the n-th notification
            const int which = steps[i] == "up";
            const int count = ++links_awaited[which];
            wait(steps[i].c_str(), [&] { return g_link[which] >= count; });
            continue;
        }
        if (steps[i].rfind("notifications ", 0) == 0) {
            const int count = std::atoi(steps[i].c_str() + 14);
            wait("notifications", [&] { return g_notifications >= count; });
            continue;
        }
        std::vector<uint8_t> message;
        std::istringstream in(steps[i]);
        for (unsigned byte = 0; in >> std::hex >> byte;)
            message.push_back(static_cast<uint8_t>(byte));
        all = command(message);
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
