#include "tools/usbbus/VirtualUSBBus.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace usbbus {

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr int kPorts = 4;
constexpr auto kHoldTimeout = std::chrono::seconds(5);

std::runtime_error failure(const std::string& what, GError* error) {
    std::string text = what;
    if (error) {
        text += ": ";
        text += error->message;
        g_error_free(error);
    }
    return std::runtime_error(text);
}

std::string holdProgram() {
    if (const char* path = std::getenv("PHONESIM_HOLD"); path && *path) return path;
#ifdef PHONESIM_HOLD_PATH
    if (std::filesystem::exists(PHONESIM_HOLD_PATH)) return PHONESIM_HOLD_PATH;
#endif
    // Installed side by side with the program that hosts the bus.
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "phonesim-hold").string();
}

// Reads one line from `fd` within `timeout`; empty on time-out or end of file.
std::string readLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (line.empty() || line.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char c = 0;
        if (::read(fd, &c, 1) != 1) break;
        line += c;
    }
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

}  // namespace

DeviceProfile profileFor(const phonesim::PhoneConfig& config, Variant variant) {
    DeviceProfile profile;
    profile.variant = variant;
    profile.manufacturer = config.manufacturer;
    profile.product = config.model;
    profile.serial = config.serial;
    profile.maxPacketSize = static_cast<uint16_t>(config.maxPacketSize);
    // Phones change their product ID with the USB mode (a Pixel with only debugging: 4ee7).
    if (variant == Variant::chargingOnly) profile.productID = 0x4EE7;
    return profile;
}

// umockdev_in_mock_environment() does not tell reliably in 0.17; the loaded library does.
bool VirtualUSBBus::inMockEnvironment() {
    void* preload = ::dlopen(kPreload, RTLD_NOLOAD | RTLD_LAZY);
    if (preload) ::dlclose(preload);
    return preload != nullptr;
}

void VirtualUSBBus::ensureMockEnvironment(char** argv) {
    if (inMockEnvironment()) return;
    if (std::getenv("USBBUS_REEXEC")) {
        std::fprintf(stderr, "%s: %s could not be loaded\n", argv[0], kPreload);
        std::exit(1);
    }
    ::setenv("USBBUS_REEXEC", "1", 1);
    std::error_code error;
    std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error) self = argv[0];
    std::vector<char*> args{const_cast<char*>("umockdev-wrapper"), self.data()};
    for (char** arg = argv + 1; *arg; ++arg) args.push_back(*arg);
    args.push_back(nullptr);
    ::execvp("umockdev-wrapper", args.data());
    std::fprintf(stderr, "%s: cannot run umockdev-wrapper: %s\n", argv[0], std::strerror(errno));
    std::exit(1);
}

VirtualUSBBus::VirtualUSBBus() {
    testbed_ = umockdev_testbed_new();
    char* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, rootHubRecord().c_str(), &error)) {
        g_object_unref(testbed_);
        throw failure("cannot add the root hub", error);
    }
    // Where the `driver` link of a claimed interface points.
    std::error_code ignored;
    std::filesystem::create_directories(root_ + "/sys/bus/usb/drivers/usbfs", ignored);
    ticker_ = std::jthread([this](std::stop_token stop) { tick(stop); });
}

VirtualUSBBus::~VirtualUSBBus() {
    ticker_.request_stop();
    wake();
    ticker_.join();
    {
        mtp::MutexLocker lock(mutex_);
        for (auto& [port, slot] : slots_) {
            releaseLocked(slot);
            slot.engine->unplug();
        }
    }
    g_object_unref(testbed_);
    slots_.clear();
    retired_.clear();
}

std::vector<std::string> VirtualUSBBus::clientEnvironment() const {
    std::string preload = kPreload;
    if (const char* inherited = std::getenv("LD_PRELOAD"); inherited && *inherited) {
        if (std::strstr(inherited, kPreload)) {
            preload = inherited;
        } else {
            preload += std::string(":") + inherited;
        }
    }
    return {"LD_PRELOAD=" + preload, "UMOCKDEV_DIR=" + root_};
}

void VirtualUSBBus::wake() {
    {
        mtp::MutexLocker lock(wakeMutex_);
        woken_ = true;
    }
    wakeSignal_.notify_one();
}

void VirtualUSBBus::tick(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::vector<std::pair<int, std::shared_ptr<UrbEngine>>> engines;
        {
            mtp::MutexLocker lock(liveMutex_);
            engines = live_;
        }
        auto next = UrbEngine::Clock::now() + std::chrono::milliseconds(100);
        for (const auto& [port, engine] : engines) {
            next = std::min(next, engine->poll());
            if (engine->phoneVanished()) {
                // The phone dropped off by itself (a fault): the bus removes it as the kernel
                // would, if that enumeration is still the one at the port. Never waits for
                // hold(), which may need this thread to answer its helper's claim.
                if (!mutex_.try_lock()) {
                    next = UrbEngine::Clock::now() + std::chrono::milliseconds(10);
                    continue;
                }
                auto slot = slots_.find(port);
                if (slot != slots_.end() && slot->second.engine == engine) unplugLocked(port);
                mutex_.unlock();
            }
        }
        mtp::MutexLocker lock(wakeMutex_);
        wakeSignal_.wait_until(lock, stop, next, [this]() REQUIRES(wakeMutex_) { return woken_; });
        woken_ = false;
    }
}

int VirtualUSBBus::nextDevnum() {
    for (int tries = 0; tries < 127; ++tries) {
        lastDevnum_ = lastDevnum_ >= 127 ? 2 : lastDevnum_ + 1;
        bool used = false;
        for (const auto& [port, slot] : slots_) used = used || slot.address.devnum == lastDevnum_;
        if (!used) return lastDevnum_;
    }
    throw std::runtime_error("no free USB device number");
}

BusAddress VirtualUSBBus::plug(int port, DeviceProfile profile,
                               std::shared_ptr<phonesim::SimulatedPhone> phone) {
    mtp::MutexLocker lock(mutex_);
    if (port < 1 || port > kPorts) {
        throw std::runtime_error("no hub port " + std::to_string(port));
    }
    if (slots_.contains(port)) {
        throw std::runtime_error("hub port " + std::to_string(port) + " is taken");
    }
    const BusAddress address{1, nextDevnum(), port};
    const std::string node = address.devNode();
    GError* error = nullptr;
    if (auto old = retired_.find(address.devnum); old != retired_.end()) {
        umockdev_testbed_detach_ioctl(testbed_, node.c_str(), &error);
        if (error) g_error_free(error);
        error = nullptr;
        retired_.erase(old);
    }
    // A phone that enumerates again starts without a session and with nothing queued.
    if (phone) phone->replug();
    auto engine = std::make_shared<UrbEngine>(profile, phone, address, root_);
    engine->setWakeup([this] { wake(); });
    engine->makeNodeFifo();
    // The ioctl socket must exist before the "add" uevent: a client that opens the node
    // before would get a plain file.
    if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), engine->handler(), &error)) {
        engine->removeNode();
        throw failure("cannot attach " + node, error);
    }
    if (!umockdev_testbed_add_from_string(testbed_, deviceRecord(profile, address).c_str(),
                                          &error)) {
        GError* ignored = nullptr;
        umockdev_testbed_detach_ioctl(testbed_, node.c_str(), &ignored);
        if (ignored) g_error_free(ignored);
        engine->removeNode();
        throw failure("cannot add " + address.sysPath(), error);
    }
    {
        mtp::MutexLocker live(liveMutex_);
        live_.emplace_back(port, engine);
    }
    slots_[port] = Slot{std::move(profile), address, std::move(phone), std::move(engine)};
    wake();
    return address;
}

void VirtualUSBBus::unplug(int port) {
    mtp::MutexLocker lock(mutex_);
    unplugLocked(port);
}

void VirtualUSBBus::unplugLocked(int port) {
    auto found = slots_.find(port);
    if (found == slots_.end()) return;
    Slot& slot = found->second;
    releaseLocked(slot);
    {
        mtp::MutexLocker live(liveMutex_);
        std::erase_if(live_, [&](const auto& entry) { return entry.second == slot.engine; });
    }
    slot.engine->unplug();
    if (slot.phone) slot.phone->unplug();
    // umockdev 0.17 sends no "remove" of its own; the kernel announces the interface first.
    const std::string device = slot.address.sysPath();
    const std::string interface = slot.address.interfaceSysPath();
    umockdev_testbed_uevent(testbed_, interface.c_str(), "remove");
    umockdev_testbed_uevent(testbed_, device.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, interface.c_str());
    umockdev_testbed_remove_device(testbed_, device.c_str());
    slot.engine->removeNode();
    retired_[slot.address.devnum] = std::move(slot.engine);
    slots_.erase(found);
}

BusAddress VirtualUSBBus::replug(int port, DeviceProfile profile) {
    std::shared_ptr<phonesim::SimulatedPhone> phone;
    {
        mtp::MutexLocker lock(mutex_);
        if (auto found = slots_.find(port); found != slots_.end()) phone = found->second.phone;
        unplugLocked(port);
    }
    return plug(port, std::move(profile), std::move(phone));
}

pid_t VirtualUSBBus::hold(int port) {
    mtp::MutexLocker lock(mutex_);
    auto found = slots_.find(port);
    if (found == slots_.end()) {
        throw std::runtime_error("no device at hub port " + std::to_string(port));
    }
    Slot& slot = found->second;
    if (slot.holder > 0) throw std::runtime_error("the device is already held");

    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) && std::strncmp(*e, "UMOCKDEV_DIR=", 13) &&
            std::strncmp(*e, "USBBUS_REEXEC=", 14)) {
            env.emplace_back(*e);
        }
    }
    for (const std::string& entry : clientEnvironment()) env.push_back(entry);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = holdProgram(), node = slot.address.devNode(), interface = "0";
    char* argv[] = {program.data(), node.data(), interface.data(), nullptr};

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(input[1]);
        ::close(output[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
    const std::string answer =
        readLine(output[0], std::chrono::duration_cast<std::chrono::milliseconds>(kHoldTimeout));
    ::close(output[0]);
    if (answer != "held") {
        ::close(input[1]);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        throw std::runtime_error("phonesim-hold: " + (answer.empty() ? "no answer" : answer));
    }
    slot.holder = pid;
    slot.holderInput = input[1];
    slot.holderClaim = slot.engine->currentClaim();
    return pid;
}

void VirtualUSBBus::release(int port) {
    mtp::MutexLocker lock(mutex_);
    if (auto found = slots_.find(port); found != slots_.end()) releaseLocked(found->second);
}

void VirtualUSBBus::releaseLocked(Slot& slot) {
    if (slot.holder <= 0) return;
    ::close(slot.holderInput);
    ::kill(slot.holder, SIGTERM);
    ::waitpid(slot.holder, nullptr, 0);
    slot.holder = -1;
    slot.holderInput = -1;
    // The claim ends once the holder's connection is seen closed; wait for that so that a
    // claim right after release() succeeds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (slot.engine->currentClaim() == slot.holderClaim &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::optional<BusAddress> VirtualUSBBus::address(int port) const {
    mtp::MutexLocker lock(mutex_);
    auto found = slots_.find(port);
    if (found == slots_.end()) return std::nullopt;
    return found->second.address;
}

std::optional<DeviceProfile> VirtualUSBBus::profile(int port) const {
    mtp::MutexLocker lock(mutex_);
    auto found = slots_.find(port);
    if (found == slots_.end()) return std::nullopt;
    return found->second.profile;
}

std::shared_ptr<phonesim::SimulatedPhone> VirtualUSBBus::phone(int port) const {
    mtp::MutexLocker lock(mutex_);
    auto found = slots_.find(port);
    if (found == slots_.end()) return nullptr;
    return found->second.phone;
}

EngineStats VirtualUSBBus::stats(int port) const {
    mtp::MutexLocker lock(mutex_);
    auto found = slots_.find(port);
    if (found == slots_.end()) return {};
    return found->second.engine->stats();
}

}  // namespace usbbus
