// Scale of the mount on the simulated phone over the virtual USB bus, in one run per link model:
//   - ls -l of a folder of 100,000 files and of one of a tenth of that, cold: phone requests,
//     time, and the resident memory mount.mtpfs grew by while listing (VmRSS before and after;
//     its peak beside); the ratio of the two times shows how listing scales;
//   - four phones mounted at once: each one's sequential read through its mount (1 MiB reads)
//     alone, then all four together, and each phone's together / alone ratio.
//
//     build/bin/scale_bench [--files N] [--size MiB] [--link none|usb2|usb3|all]
//
// --files is the large folder (default 100,000), --size each phone's file (default 128 MiB),
// the links default to usb2 and usb3. Needs root (loop devices); runs itself under the umockdev
// preload when started without it. Every phone has its own modelled link, as four phones on
// four ports of separate host controllers would.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/bench/BenchMount.h"
#include "tools/bench/BenchOptions.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::BenchOptions;
using bench::seconds;
using namespace kestrume2e;
constexpr uint64_t MiB = 1 << 20;
constexpr int phones = 4;

void makeFolder(const fs::path& folder, int files) {
    fs::create_directories(folder);
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%06d.jpg", i);
        std::ofstream(folder / name) << "x";
    }
}

struct Listing {
    uint64_t requests = 0;
    double seconds = 0;
    double rssGrowthMiB = 0;
};

// ls -l of a folder not listed before on a fresh read-only mount.
Listing listCold(const phonesim::SimulatedPhone& phone, const HelperMount& mount,
                 const fs::path& folder, int files) {
    const double rssBefore = statusMiB(mount.pid(), "VmRSS:");
    const uint64_t before = phone.stats().transactions();
    const auto start = Clock::now();
    const Result listing = run("ls -l " + quoted(folder) + " | wc -l");
    Listing result{phone.stats().transactions() - before, seconds(Clock::now() - start), 0};
    result.rssGrowthMiB = statusMiB(mount.pid(), "VmRSS:") - rssBefore;
    if (listing.status != 0 || std::stoi(listing.output) != files + 1) {
        throw std::runtime_error("ls -l listed " + listing.output);
    }
    return result;
}

void benchListing(const BenchOptions& options, const std::string& link, const fs::path& storage) {
    TempDir work;
    phonesim::PhoneConfig config;
    config.storages = {phonesim::StorageConfig{"Internal shared storage", 0, storage, false}};
    bench::setLink(config, link);
    auto phone = std::make_shared<phonesim::SimulatedPhone>(config);
    usbbus::VirtualUSBBus bus;
    bus.plug(1, usbbus::profileFor(config), phone);
    writeImage(work.path() / "image", config.serial, "Scale");
    Attached attached(work.path() / "image");
    const fs::path mnt = work.path() / "mnt";
    fs::create_directory(mnt);
    HelperMount mount(helperBeside(), attached.partition(), mnt, work.path() / "helper.err",
                      bus.clientEnvironment());
    if (!mount.ok()) throw std::runtime_error("mount failed: " + mount.log());
    run("ls " + quoted(mnt) + " >/dev/null");
    const Listing small = listCold(*phone, mount, mnt / "tenth", options.files / 10);
    const Listing large = listCold(*phone, mount, mnt / "large", options.files);
    const uint64_t before = phone->stats().transactions();
    const auto start = Clock::now();
    run("ls -l " + quoted(mnt / "large") + " >/dev/null");
    const double warm = seconds(Clock::now() - start);
    const uint64_t warmRequests = phone->stats().transactions() - before;

    const auto print = [](int files, const Listing& l) {
        std::printf(
            "  ls -l of %d files, cold: %llu requests in %.3f s, helper RSS grew %.1f MiB "
            "(target < 64 MiB)\n",
            files, static_cast<unsigned long long>(l.requests), l.seconds, l.rssGrowthMiB);
    };
    print(options.files / 10, small);
    print(options.files, large);
    std::printf(
        "    ten times the files took %.1f times as long; warm %llu requests in %.3f s; helper "
        "peak RSS %.1f MiB\n",
        large.seconds / small.seconds, static_cast<unsigned long long>(warmRequests), warm,
        statusMiB(mount.pid(), "VmHWM:"));
}

double processCPUSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto toSeconds = [](timeval t) {
        return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
    };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// Reads a file through the mount in 1 MiB reads, as dd bs=1M does; MiB/s.
double readSpeed(const fs::path& file, uint64_t size) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + file.string());
    std::vector<char> buffer(MiB);
    uint64_t total = 0;
    const auto start = Clock::now();
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) total += n;
    const double elapsed = seconds(Clock::now() - start);
    ::close(fd);
    if (total != size) throw std::runtime_error("read " + std::to_string(total) + " bytes");
    return static_cast<double>(size) / MiB / elapsed;
}

void benchFourPhones(const BenchOptions& options, const std::string& link) {
    const uint64_t size = options.sizeMiB * MiB;
    TempDir work;
    usbbus::VirtualUSBBus bus;
    std::vector<std::unique_ptr<TempDir>> storages;
    std::vector<std::unique_ptr<Attached>> images;
    std::vector<std::unique_ptr<HelperMount>> mounts;
    std::vector<std::shared_ptr<phonesim::SimulatedPhone>> simulated;
    for (int i = 0; i < phones; ++i) {
        storages.push_back(std::make_unique<TempDir>());
        phonesim::PhoneConfig config;
        config.serial = "SCALE" + std::to_string(i);
        config.storages = {
            phonesim::StorageConfig{"Internal shared storage", 0, storages.back()->path(), false}};
        bench::setLink(config, link);
        auto phone = std::make_shared<phonesim::SimulatedPhone>(config);
        // Two files: the kernel keeps a file's pages, so the second run needs fresh bytes.
        phone->addSparseFile(phone->storageID(0), "alone.bin", size);
        phone->addSparseFile(phone->storageID(0), "together.bin", size);
        bus.plug(i + 1, usbbus::profileFor(config), phone);
        simulated.push_back(phone);

        const fs::path image = work.path() / ("image" + std::to_string(i));
        writeImage(image, config.serial, "Phone " + std::to_string(i));
        images.push_back(std::make_unique<Attached>(image));
        const fs::path mnt = work.path() / ("mnt" + std::to_string(i));
        fs::create_directory(mnt);
        mounts.push_back(std::make_unique<HelperMount>(
            helperBeside(), images.back()->partition(), mnt,
            work.path() / ("helper" + std::to_string(i) + ".err"), bus.clientEnvironment()));
        if (!mounts.back()->ok()) throw std::runtime_error("mount failed: " + mounts.back()->log());
    }
    const auto file = [&](int i, const char* name) {
        return work.path() / ("mnt" + std::to_string(i)) / name;
    };
    // Link busy: the time phone i's link model charged during a read, over that read's time.
    double alone[phones], together[phones], busyAlone[phones], busyTogether[phones];
    const auto busy = [&](int i, std::chrono::nanoseconds before, double speed) {
        return bench::linkSeconds(*simulated[i], before) /
               (static_cast<double>(size) / MiB / speed);
    };
    for (int i = 0; i < phones; ++i) {
        const auto before = simulated[i]->stats().linkTime;
        alone[i] = readSpeed(file(i, "alone.bin"), size);
        busyAlone[i] = busy(i, before, alone[i]);
    }
    const double cpuBefore = processCPUSeconds();
    const auto start = Clock::now();
    {
        std::vector<std::jthread> readers;
        for (int i = 0; i < phones; ++i) {
            readers.emplace_back([&, i] {
                const auto before = simulated[i]->stats().linkTime;
                together[i] = readSpeed(file(i, "together.bin"), size);
                busyTogether[i] = busy(i, before, together[i]);
            });
        }
    }
    const double wall = seconds(Clock::now() - start), cpu = processCPUSeconds() - cpuBefore;
    std::printf("  four phones mounted, sequential read of %llu MiB each, MiB/s:\n",
                static_cast<unsigned long long>(options.sizeMiB));
    double sumAlone = 0, sumTogether = 0;
    for (int i = 0; i < phones; ++i) {
        std::printf(
            "    phone %d: alone %.1f, with the other three %.1f, ratio %.3f (link busy %.2f "
            "alone, %.2f together)\n",
            i, alone[i], together[i], together[i] / alone[i], busyAlone[i], busyTogether[i]);
        sumAlone += alone[i];
        sumTogether += together[i];
    }
    std::printf(
        "    all four together %.1f MiB/s against %.1f for one alone on average: %.2f "
        "phones' worth (target 4)\n",
        sumTogether, sumAlone / phones, sumTogether / (sumAlone / phones));
    std::printf(
        "    the bus emulator (this process) used %.2f of the %u cores while all four read\n",
        cpu / wall, std::thread::hardware_concurrency());
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        BenchOptions defaults;
        defaults.files = 100'000;
        defaults.sizeMiB = 128;
        defaults.links = {"usb2", "usb3"};
        const BenchOptions options = bench::parseOptions(argc, argv, true, defaults);
        if (::geteuid() != 0) throw std::runtime_error("needs root (loop devices)");
        usbbus::VirtualUSBBus::ensureMockEnvironment(argv);
        TempDir storage;
        makeFolder(storage.path() / "large", options.files);
        makeFolder(storage.path() / "tenth", options.files / 10);
        for (const auto& link : options.links) {
            std::printf("link %s\n", link.c_str());
            benchListing(options, link, storage.path());
            benchFourPhones(options, link);
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "scale_bench: %s\n", error.what());
        return 1;
    }
}
