// The mounted phone against the raw MTP session, on the same simulated phone over the virtual
// USB bus, without and with the USB 2.0 link model, in one run:
//   - sequential read of a 1 GiB file through the mount (1 MiB reads, as dd bs=1M) against
//     readPartial of the same object in 4 MiB ranges over libusb, and their ratio;
//   - GetPartialObject64 transactions per MiB of that read, counted on the phone;
//   - time to the first byte of a 5 GiB file (open and a 1-byte read, its name already known);
//   - listing (ls -l) of a subfolder of 10,000 files: phone requests and time, with
//     GetObjectPropList and with a phone that lacks it;
//   - peak resident memory of mount.mtpfs after all of that.
//
//     build/bin/mount_bench [--size MiB] [--files N] [--link none|usb2|both]
//
// Needs root (loop devices). Runs itself under the umockdev preload when started without it.
// The bus emulator lives in this process; figures over it show request counts and sizes, not
// real USB timing.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "mtp/USBDiscovery.h"
#include "mtp/USBTransport.h"
#include "tests/fs/e2e_support.h"
#include "tools/bench/BenchOptions.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUsbBus.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::BenchOptions;
using bench::parseOptions;
using bench::seconds;
using namespace kestrume2e;
constexpr uint64_t MiB = 1 << 20;
constexpr uint32_t rootParent = 0xFFFFFFFF;
constexpr uint32_t window = 4 * MiB;  // the read-ahead window

fs::path binFolder() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

std::optional<mtp::USBDeviceRecord> phoneRecord() {
    for (auto& record : mtp::USBDiscovery().allDevices()) {
        if (record.kind.isMTP()) return record;
    }
    return std::nullopt;
}

// readPartial of the whole object over libusb in window-sized ranges; returns MiB/s.
double rawRead(const std::string& name, uint64_t size) {
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
    return static_cast<double>(size) / MiB / elapsed;
}

// Reads a file through the mount in 1 MiB reads, as dd bs=1M does; returns MiB/s.
double mountRead(const fs::path& file, uint64_t size) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + file.string());
    std::vector<char> buffer(MiB);
    uint64_t total = 0;
    const auto start = Clock::now();
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) total += n;
    const double elapsed = seconds(Clock::now() - start);
    ::close(fd);
    if (total != size) throw std::runtime_error("mount read " + std::to_string(total) + " bytes");
    return static_cast<double>(size) / MiB / elapsed;
}

// Milliseconds from open() to the first byte.
double firstByte(const fs::path& file) {
    const auto start = Clock::now();
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + file.string());
    char byte;
    const ssize_t n = ::read(fd, &byte, 1);
    const double elapsed = seconds(Clock::now() - start) * 1000;
    ::close(fd);
    if (n != 1) throw std::runtime_error("no first byte");
    return elapsed;
}

uint64_t peakRSSKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

struct Listing {
    uint64_t requests = 0;
    double seconds = 0;
};

// ls -l of the folder (its parent already listed); phone requests and time.
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
    if (link == "usb2") config.link = phonesim::LinkModel::usb2();
    auto phone = std::make_shared<phonesim::SimulatedPhone>(config);
    phone->addSparseFile(phone->storageID(0), "big.bin", size);
    phone->addSparseFile(phone->storageID(0), "huge.bin", 5ull << 30);
    usbbus::VirtualUsbBus bus;
    bus.plug(1, usbbus::profileFor(config), phone);

    std::printf("link %s\n", link.c_str());
    const double raw = rawRead("big.bin", size);

    writeImage(work.path() / "image", config.serial, "Bench");
    Attached attached(work.path() / "image");
    const fs::path mnt = work.path() / "mnt";
    fs::create_directory(mnt);
    double mounted = 0, firstByteMs = 0;
    uint64_t reads = 0, rssKiB = 0;
    Listing propList, plain;
    {
        HelperMount mount(binFolder() / "mount.mtpfs", attached.partition(), mnt,
                          work.path() / "helper.err", bus.clientEnvironment());
        if (!mount.ok()) throw std::runtime_error("mount failed: " + mount.log());
        run("ls " + quoted(mnt / "bench") + " >/dev/null");
        propList = list(*phone, mnt / "bench" / "many", options.files);

        const auto before = phone->stats().count(mtp::Op::GetPartialObject64);
        mounted = mountRead(mnt / "big.bin", size);
        reads = phone->stats().count(mtp::Op::GetPartialObject64) - before;

        (void)fs::file_size(mnt / "huge.bin");  // looked up before the clock starts
        firstByteMs = firstByte(mnt / "huge.bin");
        rssKiB = peakRSSKiB(mount.pid());
    }
    phone->updateFaults([](phonesim::Faults& faults) { faults.noPropList = true; });
    {
        HelperMount mount(binFolder() / "mount.mtpfs", attached.partition(), mnt,
                          work.path() / "helper.err", bus.clientEnvironment());
        if (!mount.ok()) throw std::runtime_error("mount failed: " + mount.log());
        run("ls " + quoted(mnt / "bench") + " >/dev/null");
        plain = list(*phone, mnt / "bench" / "many", options.files);
    }

    const double mib = static_cast<double>(options.sizeMiB);
    std::printf(
        "  sequential read of %llu MiB: mount %.1f MiB/s, raw readPartial %.1f MiB/s, "
        "ratio %.3f (target >= 0.9)\n",
        static_cast<unsigned long long>(options.sizeMiB), mounted, raw, mounted / raw);
    std::printf(
        "  GetPartialObject64 requests: %llu for %.0f MiB = %.3f per MiB, %.2f MiB per "
        "request after the first (target 4 MiB)\n",
        static_cast<unsigned long long>(reads), mib, static_cast<double>(reads) / mib,
        reads > 1 ? mib / static_cast<double>(reads - 1) : mib);
    std::printf("  first byte of a 5 GiB file: %.2f ms (target < 50 ms)\n", firstByteMs);
    std::printf(
        "  ls -l of %d files: %llu requests in %.2f s with GetObjectPropList "
        "(target 4); %llu requests in %.2f s without; ratio of times %.1f\n",
        options.files, static_cast<unsigned long long>(propList.requests), propList.seconds,
        static_cast<unsigned long long>(plain.requests), plain.seconds,
        plain.seconds / propList.seconds);
    std::printf("  mount.mtpfs peak RSS: %.1f MiB (target < 64 MiB)\n",
                static_cast<double>(rssKiB) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        const BenchOptions options = parseOptions(argc, argv, true);
        if (::geteuid() != 0) throw std::runtime_error("needs root (loop devices)");
        usbbus::VirtualUsbBus::ensureMockEnvironment(argv);
        for (const auto& link : options.links) benchLink(options, link);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "mount_bench: %s\n", error.what());
        return 1;
    }
}
