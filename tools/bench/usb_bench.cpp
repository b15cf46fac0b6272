// The libusb transport against the in-process one, on the same simulated phone in one run:
// raw readPartial throughput of a 1 GiB object with the USB transfers it costs, and the CPU that
// a client holding an open session uses while idle.
//
//     build/bin/usb_bench [--size MiB] [--range MiB] [--idle seconds]
//
// Runs itself under the umockdev preload when started without it. Figures over the virtual bus
// show how many and how large the transfers are, not real USB timing (each emulated ioctl costs
// about 100 us); the ratio to the in-process transport is the transport's own overhead there.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mtp/MTPSession.h"
#include "mtp/USBDiscovery.h"
#include "mtp/USBTransport.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"
#include "tools/usbbus/VirtualUSBBus.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t MiB = 1 << 20;
constexpr uint32_t rootParent = 0xFFFFFFFF;

struct Options {
    uint64_t sizeMiB = 1024;
    uint32_t rangeMiB = 4;  // the file system's read-ahead window
    int idleSeconds = 10;
};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto s = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

struct ReadResult {
    double seconds = 0;
    uint64_t bytes = 0;
    double mibPerSecond() const { return static_cast<double>(bytes) / MiB / seconds; }
};

// Reads the whole object in ranges of `range` bytes through `session`.
ReadResult readAll(mtp::MTPSession& session, uint32_t handle, uint64_t size, uint32_t range) {
    std::vector<uint8_t> buffer(range);
    ReadResult result;
    auto start = Clock::now();
    for (uint64_t offset = 0; offset < size; offset += range) {
        size_t n = session.readPartial(handle, offset, range, buffer);
        if (n == 0) throw std::runtime_error("short read at " + std::to_string(offset));
        result.bytes += n;
    }
    result.seconds = seconds(Clock::now() - start);
    return result;
}

uint32_t firstHandle(mtp::MTPSession& session) {
    uint32_t storage = session.storages().at(0).id;
    return session.list(storage, rootParent).at(0).handle;
}

std::optional<mtp::USBDeviceRecord> phoneRecord() {
    for (auto& record : mtp::USBDiscovery().allDevices()) {
        if (record.kind.isMTP()) return record;
    }
    return std::nullopt;
}

// The child: opens a session over libusb, holds it idle, prints its CPU time over the hold.
int idleClient(int holdSeconds) {
    auto record = phoneRecord();
    if (!record) {
        std::fprintf(stderr, "idle client: no phone on the bus\n");
        return 1;
    }
    auto transport = mtp::USBTransport::create(*record);
    auto* usb = transport.get();
    mtp::MTPSession session(std::move(transport));
    session.open();
    session.storages();
    double cpuBefore = cpuSeconds(RUSAGE_SELF);
    auto eventsBefore = usb->counters().eventTransfers;
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(holdSeconds));
    double wall = seconds(Clock::now() - start);
    double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    std::printf("%.6f %.6f %llu %d\n", cpu, wall,
                static_cast<unsigned long long>(usb->counters().eventTransfers - eventsBefore),
                usb->eventLoopRunning() ? 1 : 0);
    return 0;
}

struct IdleResult {
    double clientCpu = 0, wall = 0, busCpu = 0;
    unsigned long long eventTransfers = 0;
    bool eventLoop = false;
};

IdleResult measureIdle(const usbbus::VirtualUSBBus& bus, int holdSeconds) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) && std::strncmp(*e, "UMOCKDEV_DIR=", 13)) {
            env.emplace_back(*e);
        }
    }
    for (const auto& entry : bus.clientEnvironment()) env.push_back(entry);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string flag = "--idle-client", count = std::to_string(holdSeconds);
    char* argv[] = {self.data(), flag.data(), count.data(), nullptr};

    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    double busBefore = cpuSeconds(RUSAGE_SELF);
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
        throw std::runtime_error("cannot start the idle client");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    IdleResult result;
    result.busCpu = cpuSeconds(RUSAGE_SELF) - busBefore;
    int loop = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(text.c_str(), "%lf %lf %llu %d", &result.clientCpu, &result.wall,
                    &result.eventTransfers, &loop) != 4) {
        throw std::runtime_error("the idle client failed");
    }
    result.eventLoop = loop != 0;
    return result;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0) throw std::runtime_error("bad value for " + flag);
        if (flag == "--size") {
            options.sizeMiB = static_cast<uint64_t>(value);
        } else if (flag == "--range") {
            options.rangeMiB = static_cast<uint32_t>(value);
        } else if (flag == "--idle") {
            options.idleSeconds = static_cast<int>(value);
        } else {
            throw std::runtime_error("unknown option " + flag);
        }
    }
    if (options.rangeMiB > 1024) throw std::runtime_error("--range is at most 1024");
    return options;
}

int bench(const Options& options) {
    usbbus::VirtualUSBBus bus;
    if (!usbbus::VirtualUSBBus::inMockEnvironment()) {
        throw std::runtime_error("the umockdev preload is not active");
    }
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("usb-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    struct Cleanup {
        std::filesystem::path path;
        ~Cleanup() { std::filesystem::remove_all(path); }
    } cleanup{folder};

    phonesim::PhoneConfig config;
    config.storages = {phonesim::StorageConfig{"Internal shared storage", 0, folder, false}};
    auto phone = std::make_shared<phonesim::SimulatedPhone>(config);
    uint64_t size = options.sizeMiB * MiB;
    uint32_t range = options.rangeMiB * static_cast<uint32_t>(MiB);
    phone->addSparseFile(phone->storageID(0), "big.bin", size);
    bus.plug(1, usbbus::profileFor(config), phone);

    std::printf("readPartial of a %llu MiB object in %u MiB ranges, one run\n",
                static_cast<unsigned long long>(options.sizeMiB), options.rangeMiB);

    // In-process: the same phone, reached without USB.
    ReadResult local;
    uint64_t localTransfers = 0;
    {
        mtp::MTPSession session(std::make_unique<phonesim::SimulatedTransport>(*phone));
        session.open();
        uint32_t handle = firstHandle(session);
        readAll(session, handle, std::min<uint64_t>(size, 64 * MiB), range);  // warm up
        phone->resetStats();
        local = readAll(session, handle, size, range);
        auto stats = phone->stats();
        localTransfers = stats.transfersIn + stats.transfersOut;
    }

    ReadResult usb;
    mtp::USBTransportCounters before, after;
    usbbus::EngineStats busBefore, busAfter;
    {
        auto record = phoneRecord();
        if (!record) throw std::runtime_error("discovery does not see the phone");
        auto transport = mtp::USBTransport::create(*record);
        auto* usbTransport = transport.get();
        mtp::MTPSession session(std::move(transport));
        session.open();
        uint32_t handle = firstHandle(session);
        readAll(session, handle, std::min<uint64_t>(size, 64 * MiB), range);
        before = usbTransport->counters();
        busBefore = bus.stats(1);
        usb = readAll(session, handle, size, range);
        after = usbTransport->counters();
        busAfter = bus.stats(1);
    }
    double mib = static_cast<double>(size) / MiB;
    double libusbTransfers = static_cast<double>(after.bulkInTransfers - before.bulkInTransfers +
                                                 after.bulkOutTransfers - before.bulkOutTransfers);
    std::printf("  in-process  %9.1f MiB/s  %6.2f s  %6.3f transfers/MiB\n", local.mibPerSecond(),
                local.seconds, static_cast<double>(localTransfers) / mib);
    std::printf(
        "  libusb      %9.1f MiB/s  %6.2f s  %6.3f transfers/MiB  (%.3f URBs/MiB, %.2f "
        "ioctls/MiB on the bus)\n",
        usb.mibPerSecond(), usb.seconds, libusbTransfers / mib,
        static_cast<double>(busAfter.urbs - busBefore.urbs) / mib,
        static_cast<double>(busAfter.ioctls - busBefore.ioctls) / mib);
    std::printf("  libusb / in-process throughput: %.3f\n",
                usb.mibPerSecond() / local.mibPerSecond());

    std::printf("idle client holding an open session over libusb for %d s\n", options.idleSeconds);
    IdleResult idle = measureIdle(bus, options.idleSeconds);
    std::printf(
        "  client CPU %.3f s over %.2f s wall = %.3f%% of one core; event loop %s, %llu "
        "event reads queued\n",
        idle.clientCpu, idle.wall, 100 * idle.clientCpu / idle.wall,
        idle.eventLoop ? "running" : "not running", idle.eventTransfers);
    std::printf(
        "  (the bus emulator in this process used %.3f s meanwhile; not part of the "
        "product)\n",
        idle.busCpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "--idle-client") == 0) {
            return idleClient(std::atoi(argv[2]));
        }
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        Options options = parse(argc, argv);
        usbbus::VirtualUSBBus::ensureMockEnvironment(argv);
        return bench(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "usb_bench: %s\n", error.what());
        return 1;
    }
}
