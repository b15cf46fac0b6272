// phonesim-ctl COMMAND [ARGS...]: sends one command to the phonesim that started this process
// (socket named by PHONESIM_CONTROL) and prints its one-line answer. Exit status 1 when the
// answer is an error, 2 when phonesim cannot be reached.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help")) {
        std::fprintf(stderr, "usage: phonesim-ctl COMMAND [ARGS...]   (see phonesim --help)\n");
        return 2;
    }
    const char* path = std::getenv("PHONESIM_CONTROL");
    if (!path || !*path) {
        std::fprintf(stderr, "phonesim-ctl: PHONESIM_CONTROL is not set (run under phonesim)\n");
        return 2;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        std::fprintf(stderr, "phonesim-ctl: socket path too long: %s\n", path);
        return 2;
    }
    std::strcpy(address.sun_path, path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "phonesim-ctl: cannot reach %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    std::string command;
    for (int i = 1; i < argc; ++i) command += (i > 1 ? " " : "") + std::string(argv[i]);
    command += '\n';
    for (size_t sent = 0; sent < command.size();) {
        const ssize_t n = ::write(fd, command.data() + sent, command.size() - sent);
        if (n <= 0) {
            std::fprintf(stderr, "phonesim-ctl: write failed: %s\n", std::strerror(errno));
            return 2;
        }
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') answer += c;
    ::close(fd);
    if (answer.empty()) {
        std::fprintf(stderr, "phonesim-ctl: no answer\n");
        return 2;
    }
    std::printf("%s\n", answer.c_str());
    return answer.rfind("error", 0) == 0 ? 1 : 0;
}
