#pragma once
// A simulated phone on the virtual USB bus hosted by the test process (run under
// umockdev-wrapper), serving a folder, and what the disk tool's tests share. The mount
// helper inherits the bus's environment from the test process; system tools get none of it.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/services/DiskTool.h"
#include "tests/common/TestSupport.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace apptest {

namespace fs = std::filesystem;

using testsupport::TempDir;

struct BusPhone {
    TempDir storage;
    phonesim::PhoneConfig config;
    std::unique_ptr<usbbus::VirtualUSBBus> bus;

    BusPhone() {
        std::ofstream(storage.path() / "hello.txt") << "hello\n";
        config.storages[0].folder = storage.path();
    }
    // With a serial, another phone serving the same folder.
    void plug(int port = 1, usbbus::Variant variant = usbbus::Variant::mtpClass,
              const std::string& serial = {}) {
        phonesim::PhoneConfig phone = config;
        if (!serial.empty()) phone.serial = serial;
        if (!bus) bus = std::make_unique<usbbus::VirtualUSBBus>();
        bus->plug(port, usbbus::profileFor(phone, variant),
                  std::make_shared<phonesim::SimulatedPhone>(phone));
    }
};

// A shell command run outside the bus's preload, as another program would. The test process
// never touches files in a mount itself: its own open() of a path served by the bus it hosts
// would hold the preload's lock that the bus needs to answer the mount helper.
inline int outside(const std::string& command) {
    return ::system(("env -u LD_PRELOAD -u UMOCKDEV_DIR " + command + " >/dev/null 2>&1").c_str());
}

// Another program, outside the preload, holding a file open until destroyed.
class FileHolder {
  public:
    explicit FileHolder(const fs::path& file)
        : run_(::popen(("exec env -i /bin/sh -c 'exec 3<\"$0\" && echo $$ && exec sleep 600' '" +
                        file.string() + "'")
                           .c_str(),
                       "r")) {
        char pid[32] = {};
        if (run_ && std::fgets(pid, sizeof pid, run_)) pid_ = std::atoi(pid);
    }
    ~FileHolder() {
        if (pid_ > 0) ::kill(pid_, SIGKILL);
        if (run_) ::pclose(run_);
    }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    bool isOpen() const { return pid_ > 0; }

  private:
    FILE* run_;
    pid_t pid_ = 0;
};

// The loop devices whose backing file lies in the folder, from losetup run outside the bus's
// preload (which replaces /sys for this process).
inline std::vector<std::string> loopsBackedBy(const fs::path& folder) {
    std::vector<std::string> loops;
    FILE* listing = ::popen(
        "env -u LD_PRELOAD -u UMOCKDEV_DIR /usr/sbin/losetup --list --noheadings --raw "
        "--output NAME,BACK-FILE",
        "r");
    if (!listing) return {"losetup did not run"};
    char line[4096];
    while (std::fgets(line, sizeof line, listing)) {
        std::istringstream fields(line);
        std::string name, file;
        fields >> name >> file;
        if (file.starts_with(folder.string() + "/")) loops.push_back(name.substr(5));
    }
    ::pclose(listing);
    return loops;
}

// What a real system tool sees of the disks: mounts under the volumes folder, loop devices
// whose image is in the image folder, and files left there. Empty when nothing is left.
inline std::string leftovers(const brisvale::DiskFolders& folders) {
    std::string found;
    for (const brisvale::MountEntry& entry : brisvale::readMountTable())
        if (entry.mountPoint.starts_with(folders.volumes.string()))
            found += "mounted " + entry.mountPoint + "\n";
    for (const std::string& loop : loopsBackedBy(folders.images)) found += loop + "\n";
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folders.images, ignored))
        found += "left " + entry.path().string() + "\n";
    return found;
}

// The image and volumes folders inside a temporary folder.
inline brisvale::DiskTool::Config diskConfig(const fs::path& root) {
    return {{root / "Volumes", root / "Images"}, fs::path(BUILD_BIN) / "mount.mtpfs", true};
}

}  // namespace apptest
