#pragma once
// A simulated phone on the virtual USB bus hosted by the test process (run under
// umockdev-wrapper), serving a folder, and temporary folders for the disk tool. The mount
// helper inherits the bus's environment from the test process; system tools get none of it.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/services/DiskTool.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace apptest {

namespace fs = std::filesystem;

class TempFolder {
  public:
    TempFolder() {
        char name[] = "/tmp/brisvale-app.XXXXXX";
        if (!::mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

struct BusPhone {
    TempFolder storage;
    phonesim::PhoneConfig config;
    std::unique_ptr<usbbus::VirtualUSBBus> bus;

    BusPhone() {
        std::ofstream(storage.path() / "hello.txt") << "hello\n";
        config.storages[0].folder = storage.path();
    }
    void plug(int port = 1) {
        if (!bus) bus = std::make_unique<usbbus::VirtualUSBBus>();
        bus->plug(port, usbbus::profileFor(config),
                  std::make_shared<phonesim::SimulatedPhone>(config));
    }
};

// A shell command run outside the bus's preload, as another program would. The test process
// never touches files in a mount itself: its own open() of a path served by the bus it hosts
// would hold the preload's lock that the bus needs to answer the mount helper.
inline int outside(const std::string& command) {
    return ::system(("env -u LD_PRELOAD -u UMOCKDEV_DIR " + command + " >/dev/null 2>&1").c_str());
}

// Another program holding a file open until destroyed.
class FileHolder {
  public:
    explicit FileHolder(const fs::path& file) {
        std::string program = "/bin/sh", flag = "-c",
                    script = "exec 3<\"$0\" && echo open && exec sleep 600", path = file.string();
        char* argv[] = {program.data(), flag.data(), script.data(), path.data(), nullptr};
        char* envp[] = {nullptr};
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        char answer[8] = {};
        open_ = ::read(fds[0], answer, 4) == 4 && std::string(answer) == "open";
        ::close(fds[0]);
    }
    ~FileHolder() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    bool isOpen() const { return open_; }

  private:
    pid_t pid_ = -1;
    bool open_ = false;
};

// The image and volumes folders inside a temporary folder.
inline brisvale::DiskTool::Config diskConfig(const fs::path& root) {
    return {{root / "Volumes", root / "Images"}, fs::path(BUILD_BIN) / "mount.mtpfs", true};
}

}  // namespace apptest
