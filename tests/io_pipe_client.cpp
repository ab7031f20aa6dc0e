// A client process of the named-pipe server tests, written without the library.
//   io_pipe_client PIPE hold LENGTH...  writes one message of each length (byte i is length + i),
//                                       then stays until the server drops the pipe
//   io_pipe_client PIPE quit LENGTH...  the same, then ends at once
//   io_pipe_client PIPE echo COUNT      COUNT requests of 3 to 250 bytes (pipe, number, pattern);
//                                       each answer must be the pipe number and the request
// Exit status 0 when everything went as expected.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string pattern(int length, int seed)
{
    std::string s(static_cast<size_t>(length), '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(seed + static_cast<int>(i));
    return s;
}

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
    if (argc < 4)
        return 2;
    const int number = std::atoi(argv[1]);
    const std::string mode = argv[2];
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\cccNamedPipe%d", number);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int tries = 0; pipe == INVALID_HANDLE_VALUE && tries < 2000; ++tries) { // 20 s for a free pipe
        pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            Sleep(10);
    }
    if (pipe == INVALID_HANDLE_VALUE)
        return 3;
    if (mode == "echo") {
        for (int m = 0; m < std::atoi(argv[3]); ++m) {
            std::string request = pattern(3 + (m * 7 + number) % 248, m);
            request[0] = static_cast<char>(number);
            request[1] = static_cast<char>(m);
            request[2] = static_cast<char>(m >> 8);
            std::string answer(request.size() + 1, '\0');
            if (!transfer(pipe, request, true) || !transfer(pipe, answer, false) || answer != static_cast<char>(number) + request) {
                std::fprintf(stderr, "pipe %d: message %d went wrong\n", number, m);
                return 1;
            }
        }
        return 0;
    }
    for (int i = 3; i < argc; ++i) {
        std::string message = pattern(std::atoi(argv[i]), std::atoi(argv[i]));
        if (!transfer(pipe, message, true))
            return 1;
    }
    for (std::string one(1, '\0'); mode == "hold" && transfer(pipe, one, false);) {
    }
    CloseHandle(pipe);
    return 0;
}
