// A client process of the named-pipe tests, written without the library. "PIPE hold|quit LENGTH..."
// writes a message of each length (byte i is length + i), then stays until the pipe breaks or
// ends at once; "PIPE echo COUNT" makes COUNT requests of 3 to 250 bytes (pipe, number, pattern),
// each answered by the pipe number and the request. Exit status 0 when all went as expected.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool transfer(HANDLE pipe, std::string& data, bool write)
{
    for (size_t done = 0; done < data.size();) {
        DWORD n = 0;
        const auto size = static_cast<DWORD>(data.size() - done);
        if (!(write ? WriteFile(pipe, &data[done], size, &n, nullptr) : ReadFile(pipe, &data[done], size, &n, nullptr)))
            return false;
        done += n;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int number = argc > 3 ? std::atoi(argv[1]) : -1;
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\cccNamedPipe%d", number);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int tries = 0; pipe == INVALID_HANDLE_VALUE && tries < 2000; ++tries, Sleep(10)) // 20 s for a free pipe
        pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const std::string mode = pipe == INVALID_HANDLE_VALUE ? "" : argv[2];
    const int count = mode == "echo" ? std::atoi(argv[3]) : argc - 3;
    for (int m = 0; m < count; ++m) {
        const int length = mode == "echo" ? 3 + (m * 7 + number) % 248 : std::atoi(argv[m + 3]);
        std::string message(static_cast<size_t>(length), '\0'), answer;
        for (int i = 0; i < length; ++i)
            message[i] = static_cast<char>((mode == "echo" ? m : length) + i);
        if (mode == "echo") {
            message.replace(0, 3, {static_cast<char>(number), static_cast<char>(m), static_cast<char>(m >> 8)});
            answer.resize(message.size() + 1);
        }
        if (!transfer(pipe, message, true) || !transfer(pipe, answer, false) || (mode == "echo" && answer != static_cast<char>(number) + message)) {
            std::fprintf(stderr, "pipe %d: message %d went wrong\n", number, m);
            return 1;
        }
    }
    for (std::string one(1, '\0'); mode == "hold" && transfer(pipe, one, false);) {
    }
    return mode.empty() ? 3 : 0;
}
