#include "tools/usbbus/ControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

namespace usbbus {

ControlServer::ControlServer(std::string path, Handler handler)
    : path_(std::move(path)), handler_(std::move(handler)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("control socket path too long: " + path_);
    }
    std::strcpy(address.sun_path, path_.c_str());
    ::unlink(path_.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        const std::string reason = std::strerror(errno);
        if (listener_ >= 0) ::close(listener_);
        throw std::runtime_error("cannot listen on " + path_ + ": " + reason);
    }
    thread_ = std::thread([this] { serve(); });
}

ControlServer::~ControlServer() {
    const char stop = 1;
    if (::write(stopPipe_[1], &stop, 1) != 1) {
        // The thread also ends when the pipe closes below.
    }
    ::close(stopPipe_[1]);
    thread_.join();
    ::close(stopPipe_[0]);
    ::close(listener_);
    ::unlink(path_.c_str());
}

void ControlServer::serve() {
    std::map<int, std::string> clients;  // fd -> bytes received without a newline yet
    for (;;) {
        std::vector<pollfd> fds{{stopPipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const auto& [fd, pending] : clients) fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) clients[client];
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            const int fd = fds[i].fd;
            char buffer[512];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fd);
                clients.erase(fd);
                continue;
            }
            std::string& pending = clients[fd];
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string command = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!command.empty() && command.back() == '\r') command.pop_back();
                std::string answer = handler_(command) + "\n";
                // Answers are short; a client that does not read them loses them.
                if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                    break;
                }
            }
        }
    }
    for (const auto& [fd, pending] : clients) ::close(fd);
}

}  // namespace usbbus
