#pragma once
// The phonesim program's control socket: a Unix stream socket that takes one command per line
// and answers each with one line.

#include <functional>
#include <string>
#include <thread>

namespace usbbus {

class ControlServer {
  public:
    // Gets a command line without its newline; returns the answer without a newline.
    using Handler = std::function<std::string(const std::string& command)>;

    // Listens at `path` (an existing file there is replaced). Commands are run one at a time
    // on the server's own thread, in arrival order. Throws std::runtime_error.
    ControlServer(std::string path, Handler handler);
    // Stops serving and removes the socket file.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& path() const { return path_; }

  private:
    void serve();

    std::string path_;
    Handler handler_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace usbbus
