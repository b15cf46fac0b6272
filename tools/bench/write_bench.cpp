// Writing through the mount against the raw MTP editor, on the same simulated phone over the
// virtual USB bus, without a link model and with the USB 2.0 and USB 3 ones, in one run:
//   - cp of a 1 GiB file into a read-write mount (cp's own 128 KiB writes, timed up to cp's exit,
//     which includes the commit at close) against MTPEditor.write of the same bytes over libusb
//     (one edit, 4 MiB SendPartialObject chunks, ended), and their ratio;
//   - MTP transactions per MiB written, for both, counted on the phone;
//   - beside each wall time, the time the link model charged for the same transfers: their
//     ratio shows how busy the file system keeps the link, whatever the emulator costs.
//
//     build/bin/write_bench [--size MiB] [--link none|usb2|usb3|all]
//
// Needs root (loop devices). Runs itself under the umockdev preload when started without it.
// The bus emulator lives in this process; figures over it show request counts and relative
// costs, not real USB timing.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mtp/MTPCodes.h"
#include "mtp/MTPEditor.h"
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
using bench::linkSeconds;
using bench::parseOptions;
using bench::seconds;
using bench::setLink;
using namespace kestrume2e;
constexpr uint64_t MiB = 1 << 20;
constexpr uint32_t rootParent = 0xFFFFFFFF;

// The bytes of the file at offset: a counter per 8 bytes, so that every block differs.
void pattern(std::vector<uint8_t>& buffer, uint64_t offset) {
    for (size_t i = 0; i + 8 <= buffer.size(); i += 8) {
        const uint64_t value = (offset + i) / 8;
        std::memcpy(buffer.data() + i, &value, 8);
    }
}

void writeSource(const fs::path& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path.string());
    std::vector<uint8_t> buffer(4 * MiB);
    for (uint64_t offset = 0; offset < size; offset += buffer.size()) {
        pattern(buffer, offset);
        if (::write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size())) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    ::close(fd);
}

struct Figures {
    double mibPerSecond = 0;
    double transactionsPerMiB = 0;
    double wallSeconds = 0;
    double linkSeconds = 0;  // what the link model charged meanwhile
};

// A new file filled through one edit over libusb, in the editor's 4 MiB chunks.
Figures rawWrite(phonesim::SimulatedPhone& phone, uint64_t size) {
    std::optional<mtp::USBDeviceRecord> record;
    for (auto& found : mtp::USBDiscovery().allDevices())
        if (found.kind.isMTP()) record = found;
    if (!record) throw std::runtime_error("discovery does not see the phone");
    mtp::MTPSession session(mtp::USBTransport::create(*record));
    session.open();
    mtp::MTPEditor editor(session);
    const uint32_t storage = session.storages().at(0).id;
    std::vector<uint8_t> buffer(mtp::MTPEditor::chunkSize);
    const uint64_t before = phone.stats().transactions();
    const auto linkBefore = phone.stats().linkTime;
    const auto start = Clock::now();
    const uint32_t handle = editor.createObject(storage, rootParent, "raw.bin", false);
    session.transact(mtp::Op::SendObject, {}, std::span<const uint8_t>());
    editor.beginEdit(handle, 0, false);
    for (uint64_t offset = 0; offset < size; offset += buffer.size()) {
        pattern(buffer, offset);
        editor.write(handle, offset, buffer);
    }
    editor.endEdit(handle);
    const double elapsed = seconds(Clock::now() - start);
    const uint64_t transactions = phone.stats().transactions() - before;
    const double link = linkSeconds(phone, linkBefore);
    try {
        session.transact(mtp::Op::CloseSession);
    } catch (const std::exception&) {
    }
    const double mib = static_cast<double>(size) / MiB;
    return {mib / elapsed, static_cast<double>(transactions) / mib, elapsed, link};
}

void benchLink(const BenchOptions& options, const std::string& link) {
    const uint64_t size = options.sizeMiB * MiB;
    TempDir storage, work;
    phonesim::PhoneConfig config;
    config.storages = {
        phonesim::StorageConfig{"Internal shared storage", 0, storage.path(), false}};
    setLink(config, link);
    auto phone = std::make_shared<phonesim::SimulatedPhone>(config);
    usbbus::VirtualUSBBus bus;
    bus.plug(1, usbbus::profileFor(config), phone);
    std::printf("link %s\n", link.c_str());

    const Figures raw = rawWrite(*phone, size);
    fs::remove(storage.path() / "raw.bin");

    const fs::path source = work.path() / "source.bin";
    writeSource(source, size);
    writeImage(work.path() / "image", config.serial, "Bench", true);
    Attached attached(work.path() / "image");
    const fs::path mnt = work.path() / "mnt";
    fs::create_directory(mnt);
    Figures mounted;
    {
        HelperMount mount(helperBeside(), attached.partition(), mnt, work.path() / "helper.err",
                          bus.clientEnvironment());
        if (!mount.ok()) throw std::runtime_error("mount failed: " + mount.log());
        run("ls " + quoted(mnt) + " >/dev/null");
        const uint64_t before = phone->stats().transactions();
        const auto linkBefore = phone->stats().linkTime;
        const auto start = Clock::now();
        const Result copy = run("cp " + quoted(source) + " " + quoted(mnt / "copy.bin"));
        const double elapsed = seconds(Clock::now() - start);
        const uint64_t transactions = phone->stats().transactions() - before;
        const double linkTime = linkSeconds(*phone, linkBefore);
        if (copy.status != 0) throw std::runtime_error("cp failed: " + copy.output);
        if (run("cmp " + quoted(source) + " " + quoted(storage.path() / "copy.bin")).status != 0)
            throw std::runtime_error("the phone's copy differs");
        const double mib = static_cast<double>(size) / MiB;
        mounted = {mib / elapsed, static_cast<double>(transactions) / mib, elapsed, linkTime};
    }
    std::printf(
        "  write of %llu MiB: cp into the mount %.1f MiB/s, raw MTPEditor.write %.1f MiB/s, "
        "ratio %.3f (target >= 0.9)\n",
        static_cast<unsigned long long>(options.sizeMiB), mounted.mibPerSecond, raw.mibPerSecond,
        mounted.mibPerSecond / raw.mibPerSecond);
    std::printf("  transactions per MiB written: mount %.3f, raw %.3f\n",
                mounted.transactionsPerMiB, raw.transactionsPerMiB);
    if (link != "none") bench::printLinkBusy(mounted, raw);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        const BenchOptions options = parseOptions(argc, argv, false);
        if (::geteuid() != 0) throw std::runtime_error("needs root (loop devices)");
        usbbus::VirtualUSBBus::ensureMockEnvironment(argv);
        for (const auto& link : options.links) benchLink(options, link);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "write_bench: %s\n", error.what());
        return 1;
    }
}
