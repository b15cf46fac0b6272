// The mounted phone against the raw MTP session, on the same simulated phone over the virtual
// USB bus, without a link model and with the USB 2.0 and USB 3 ones, in one run:
//   - mount time: mount.mtpfs started until the first listing of the root has answered, and
//     where it went (the helper's KESTRUM_MOUNT_TRACE steps);
//   - sequential read of a 1 GiB file through the mount (1 MiB reads, as dd bs=1M) against
//     readPartial of the same object in 4 MiB ranges over libusb, and their ratio; beside each
//     wall time the time the link model charged for the same transfers;
//   - GetPartialObject64 transactions per MiB of that read, counted on the phone;
//   - time to the last byte of a 5 GiB file (open and a 1-byte read at its end, its name
//     already known), and the phone requests it took;
//   - listing (ls -l) of a subfolder of 10,000 files: phone requests and time, cold and warm
//     (the second listing) on a read-only mount, the same on a writable one and again once the
//     kernel's 1 s entries expired, and with a phone that lacks GetObjectPropList;
//   - peak resident memory of mount.mtpfs after all of that.
//
//     build/bin/mount_bench [--size MiB] [--files N] [--link none|usb2|usb3|all]
//
// Needs root (loop devices). Runs itself under the umockdev preload when started without it.
// The bus emulator lives in this process; figures over it show request counts and sizes, not
// real USB timing.

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "mtp/USBDiscovery.h"
#include "mtp/USBTransport.h"
#include "tools/bench/BenchMount.h"
#include "tools/bench/BenchOptions.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::BenchOptions;
using bench::parseOptions;
using bench::seconds;
using bench::setLink;
using namespace kestrume2e;
constexpr uint64_t MiB = 1 << 20;

constexpr uint32_t rootParent = 0xFFFFFFFF;
constexpr uint32_t window = 4 * MiB;  // the read-ahead window

std::optional<mtp::USBDeviceRecord> phoneRecord() {
    for (auto& record : mtp::USBDiscovery().allDevices()) {
        if (record.kind.isMTP()) return record;
    }
    return std::nullopt;
}

struct Throughput {
    double mibPerSecond = 0;
    double wallSeconds = 0;
    double linkSeconds = 0;  // what the link model charged meanwhile
    double idleSeconds = 0;  // the phone's wait between an answer and the next command
    uint64_t requests = 0;   // GetPartialObject64 transactions
    double cores = 0;        // cores the whole machine kept busy meanwhile
};

// Figures of a read that began when the phone's stats were `before`.
Throughput throughput(const phonesim::SimulatedPhone& phone, const phonesim::PhoneStats& before,
                      const CpuTimes& cpuBefore, uint64_t size, double wall) {
    const phonesim::PhoneStats after = phone.stats();
    return {static_cast<double>(size) / MiB / wall,
            wall,
            seconds(after.linkTime - before.linkTime),
            seconds(after.idleTime - before.idleTime),
            after.count(mtp::Op::GetPartialObject64) - before.count(mtp::Op::GetPartialObject64),
            CpuTimes::now().coresSince(cpuBefore)};
}

// Where the time between two window fills goes.
void printIdle(const char* label, const Throughput& t) {
    const double n = static_cast<double>(std::max<uint64_t>(t.requests, 1));
    std::printf(
        "    %s: %llu requests, each %.1f ms on the wall (%.1f ms on the link), the phone idle "
        "%.2f ms between requests (%.3f of the wall time); the machine kept %.2f of its %u cores "
        "busy\n",
        label, static_cast<unsigned long long>(t.requests),
        (t.wallSeconds - t.idleSeconds) / n * 1000, t.linkSeconds / n * 1000,
        t.idleSeconds / n * 1000, t.idleSeconds / t.wallSeconds, t.cores,
        std::thread::hardware_concurrency());
}

// readPartial of the whole object over libusb in window-sized ranges; the wall seconds of the
// reads alone (the session is opened before the clock starts, and started() is called then).
double rawReadSeconds(
    const std::string& name, uint64_t size, const std::function<void()>& started = [] {}) {
    auto record = phoneRecord();
    if (!record) throw std::runtime_error("discovery does not see the phone");
    mtp::MTPSession session(mtp::USBTransport::create(*record));
    session.open();
    const uint32_t storage = session.storages().at(0).id;
    std::optional<uint32_t> handle;
    for (const auto& entry : session.list(storage, rootParent)) {
        if (entry.name == name) handle = entry.handle;
    }
    if (!handle) throw std::runtime_error(name + " not found on the phone");
    std::vector<uint8_t> buffer(window);
    started();
    const auto start = Clock::now();
    for (uint64_t offset = 0; offset < size; offset += window) {
        if (session.readPartial(*handle, offset, window, buffer) == 0) {
            throw std::runtime_error("short raw read");
        }
    }
    const double elapsed = seconds(Clock::now() - start);
    try {
        session.transact(mtp::Op::CloseSession);
    } catch (const std::exception&) {
    }
    return elapsed;
}

// The raw read in this process, where the bus emulator lives.
Throughput rawRead(const phonesim::SimulatedPhone& phone, const std::string& name, uint64_t size) {
    phonesim::PhoneStats before;
    CpuTimes cpu;
    const double wall = rawReadSeconds(name, size, [&] {
        before = phone.stats();
        cpu = CpuTimes::now();
    });
    return throughput(phone, before, cpu, size, wall);
}

// The raw read in a child process that reaches the bus as mount.mtpfs does (this program again
// with --raw-child), so that both pay the same cost of crossing into the emulator's process.
// Only its speed: the phone's figures would include the child's start and session.
double rawReadApart(const std::string& name, uint64_t size, const fs::path& output,
                    const std::vector<std::string>& busEnvironment) {
    std::string assignments;
    for (const auto& entry : busEnvironment) assignments += kestrume2e::quoted(entry) + " ";
    const Result child =
        run("env " + assignments + quoted(fs::read_symlink("/proc/self/exe")) + " --raw-child " +
            name + " " + std::to_string(size) + " >" + quoted(output));
    if (child.status != 0) throw std::runtime_error("raw read child: " + child.output);
    return static_cast<double>(size) / MiB / std::stod(readText(output));
}

// Reads a file through the mount in 1 MiB reads, as dd bs=1M does.
Throughput mountRead(const phonesim::SimulatedPhone& phone, const fs::path& file, uint64_t size) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + file.string());
    std::vector<char> buffer(MiB);
    uint64_t total = 0;
    const auto before = phone.stats();
    const CpuTimes cpu = CpuTimes::now();
    const auto start = Clock::now();
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) total += n;
    const Throughput result = throughput(phone, before, cpu, size, seconds(Clock::now() - start));
    ::close(fd);
    if (total != size) throw std::runtime_error("mount read " + std::to_string(total) + " bytes");
    return result;
}

struct FirstByte {
    double milliseconds = 0;
    uint64_t requests = 0;
};

// open() and a 1-byte read of the file's last byte, as a player seeking to the end does.
FirstByte lastByte(const phonesim::SimulatedPhone& phone, const fs::path& file, uint64_t size) {
    const uint64_t before = phone.stats().transactions();
    const auto start = Clock::now();
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + file.string());
    char byte;
    const ssize_t n = ::pread(fd, &byte, 1, static_cast<off_t>(size - 1));
    const double elapsed = seconds(Clock::now() - start) * 1000;
    ::close(fd);
    if (n != 1) throw std::runtime_error("no last byte");
    return {elapsed, phone.stats().transactions() - before};
}

// mount.mtpfs started as mount(8) starts it (it goes to the background once the mount
// answers), then the root listed: seconds from the start to the listing, and the helper's
// trace of its steps in milliseconds from the start.
struct MountTime {
    double seconds = 0;
    double helperSeconds = 0;  // until the helper returned
    std::string steps;
};

MountTime mountTime(const fs::path& device, const fs::path& mnt, const fs::path& log,
                    const std::vector<std::string>& busEnvironment) {
    std::vector<std::string> env = helperEnvironment(busEnvironment);
    env.push_back("KESTRUM_MOUNT_TRACE=1");
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = helperBeside().string(), deviceArg = device.string(),
                point = mnt.string();
    char* argv[] = {program.data(), deviceArg.data(), point.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start mount.mtpfs");
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double helper = seconds(Clock::now() - start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("mount.mtpfs failed: " + readText(log));
    }
    DIR* dir = ::opendir(mnt.c_str());
    if (!dir) throw std::runtime_error("cannot list the mounted root");
    while (::readdir(dir)) {
    }
    ::closedir(dir);
    MountTime result{seconds(Clock::now() - start), helper, {}};

    const double origin = std::chrono::duration<double>(start.time_since_epoch()).count();
    std::istringstream lines(readText(log));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string program, word, step;
        double at = 0;
        if (fields >> program >> word >> at >> step && word == "trace") {
            char text[64];
            std::snprintf(text, sizeof text, "%s%s %.1f", result.steps.empty() ? "" : ", ",
                          step.c_str(), (at - origin) * 1000);
            result.steps += text;
        }
    }
    if (run("fusermount3 -u " + quoted(mnt)).status != 0) {
        throw std::runtime_error("cannot unmount after the mount-time run");
    }
    // The helper unloads in the background; the next mount must find the phone released.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return result;
}

struct Listing {
    uint64_t requests = 0;
    double seconds = 0;
};

// ls -l of the folder; phone requests and time.
Listing list(const phonesim::SimulatedPhone& phone, const fs::path& folder, int files) {
    const auto before = phone.stats().transactions();
    const auto start = Clock::now();
    const Result listing = run("ls -l " + quoted(folder) + " | wc -l");
    Listing result{phone.stats().transactions() - before, seconds(Clock::now() - start)};
    if (listing.status != 0 || std::stoi(listing.output) != files + 1) {
        throw std::runtime_error("ls -l listed " + listing.output);
    }
    return result;
}

void benchLink(const BenchOptions& options, const std::string& link) {
    const uint64_t size = options.sizeMiB * MiB;
    TempDir storage, work;
    fs::create_directories(storage.path() / "bench" / "many");
    for (int i = 0; i < options.files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%05d.jpg", i);
        std::ofstream(storage.path() / "bench" / "many" / name) << "x";
    }
    phonesim::PhoneConfig config;
    config.storages = {
        phonesim::StorageConfig{"Internal shared storage", 0, storage.path(), false}};
    setLink(config, link);
    auto phone = std::make_shared<phonesim::SimulatedPhone>(config);
    phone->addSparseFile(phone->storageID(0), "big.bin", size);
    phone->addSparseFile(phone->storageID(0), "huge.bin", 5ull << 30);
    usbbus::VirtualUSBBus bus;
    bus.plug(1, usbbus::profileFor(config), phone);

    std::printf("link %s\n", link.c_str());
    const Throughput raw = rawRead(*phone, "big.bin", size);
    const double rawApart =
        rawReadApart("big.bin", size, work.path() / "raw.out", bus.clientEnvironment());

    writeImage(work.path() / "image", config.serial, "Bench");
    Attached attached(work.path() / "image");
    const fs::path mnt = work.path() / "mnt";
    fs::create_directory(mnt);
    const MountTime mounting =
        mountTime(attached.partition(), mnt, work.path() / "trace.err", bus.clientEnvironment());
    Throughput mounted;
    FirstByte last;
    uint64_t reads = 0;
    double peakMiB = 0;
    Listing propList, propListWarm, writableCold, writableWarm, writableExpired, plain;
    {
        HelperMount mount(helperBeside(), attached.partition(), mnt, work.path() / "helper.err",
                          bus.clientEnvironment());
        if (!mount.ok()) throw std::runtime_error("mount failed: " + mount.log());
        run("ls " + quoted(mnt / "bench") + " >/dev/null");
        propList = list(*phone, mnt / "bench" / "many", options.files);
        propListWarm = list(*phone, mnt / "bench" / "many", options.files);

        mounted = mountRead(*phone, mnt / "big.bin", size);
        reads = mounted.requests;

        (void)fs::file_size(mnt / "huge.bin");  // looked up before the clock starts
        last = lastByte(*phone, mnt / "huge.bin", 5ull << 30);
        peakMiB = statusMiB(mount.pid(), "VmHWM:");
    }
    writeImage(work.path() / "writable", config.serial, "Bench", true);
    {
        Attached writable(work.path() / "writable");
        HelperMount mount(helperBeside(), writable.partition(), mnt, work.path() / "helper.err",
                          bus.clientEnvironment());
        if (!mount.ok()) throw std::runtime_error("writable mount failed: " + mount.log());
        run("ls " + quoted(mnt / "bench") + " >/dev/null");
        writableCold = list(*phone, mnt / "bench" / "many", options.files);
        writableWarm = list(*phone, mnt / "bench" / "many", options.files);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        writableExpired = list(*phone, mnt / "bench" / "many", options.files);
    }
    phone->updateFaults([](phonesim::Faults& faults) { faults.noPropList = true; });
    {
        HelperMount mount(helperBeside(), attached.partition(), mnt, work.path() / "helper.err",
                          bus.clientEnvironment());
        if (!mount.ok()) throw std::runtime_error("mount failed: " + mount.log());
        run("ls " + quoted(mnt / "bench") + " >/dev/null");
        plain = list(*phone, mnt / "bench" / "many", options.files);
    }

    const double mib = static_cast<double>(options.sizeMiB);
    std::printf(
        "  mount until the root is listed: %.3f s (target < 0.1 s; helper returned after %.3f "
        "s)\n    steps in ms from the start: %s\n",
        mounting.seconds, mounting.helperSeconds, mounting.steps.c_str());
    std::printf(
        "  sequential read of %llu MiB: mount %.1f MiB/s, raw readPartial %.1f MiB/s, "
        "ratio %.3f (target >= 0.9)\n",
        static_cast<unsigned long long>(options.sizeMiB), mounted.mibPerSecond, raw.mibPerSecond,
        mounted.mibPerSecond / raw.mibPerSecond);
    if (link != "none") bench::printLinkBusy(mounted, raw);
    std::printf(
        "    against the raw read in a process of its own, as mount.mtpfs is: %.1f MiB/s, ratio "
        "%.3f\n",
        rawApart, mounted.mibPerSecond / rawApart);
    printIdle("mount", mounted);
    printIdle("raw", raw);
    std::printf(
        "  GetPartialObject64 requests: %llu for %.0f MiB = %.3f per MiB, %.2f MiB per "
        "request after the first (target 4 MiB)\n",
        static_cast<unsigned long long>(reads), mib, static_cast<double>(reads) / mib,
        reads > 1 ? mib / static_cast<double>(reads - 1) : mib);
    std::printf("  last byte of a 5 GiB file, first access: %.2f ms, %llu requests (target 1)\n",
                last.milliseconds, static_cast<unsigned long long>(last.requests));
    const auto listing = [](const Listing& l) {
        char text[64];
        std::snprintf(text, sizeof text, "%llu requests in %.3f s",
                      static_cast<unsigned long long>(l.requests), l.seconds);
        return std::string(text);
    };
    std::printf(
        "  ls -l of %d files, read-only: cold %s with GetObjectPropList (target 4), warm %s; "
        "without GetObjectPropList %s, ratio of cold times %.1f\n",
        options.files, listing(propList).c_str(), listing(propListWarm).c_str(),
        listing(plain).c_str(), plain.seconds / propList.seconds);
    std::printf(
        "  ls -l of %d files, writable: cold %s, warm %s, after the entries expired %s (target "
        "< 0.2 s)\n",
        options.files, listing(writableCold).c_str(), listing(writableWarm).c_str(),
        listing(writableExpired).c_str());
    std::printf("  mount.mtpfs peak RSS: %.1f MiB (target < 64 MiB)\n", peakMiB);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        if (argc == 4 && std::string(argv[1]) == "--raw-child") {
            std::printf("%.6f\n", rawReadSeconds(argv[2], std::strtoull(argv[3], nullptr, 10)));
            return 0;
        }
        const BenchOptions options = parseOptions(argc, argv, true);
        if (::geteuid() != 0) throw std::runtime_error("needs root (loop devices)");
        usbbus::VirtualUSBBus::ensureMockEnvironment(argv);
        for (const auto& link : options.links) benchLink(options, link);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "mount_bench: %s\n", error.what());
        return 1;
    }
}
