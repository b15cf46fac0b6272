// Reads a large object from the simulated phone through ReadAhead in 128 KiB pieces and
// through readPartial in 4 MiB pieces, without a link model and with the USB 2.0 and USB 3 ones,
// and prints throughput, MTP transactions per MiB (counted on the phone) and the ratio of the two.
//
// usage: readahead_bench [MiB]   (default 1024; about 70 s in all at that size)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "mtp/ReadAhead.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

constexpr uint32_t Internal = 0x00010001;
constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

struct Result {
    double megabytesPerSecond = 0;
    double transactionsPerMiB = 0;
};

// The folder the sparse object lives in, removed at the end even when a read fails.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/readahead-bench-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("cannot create a temporary folder");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

template <typename ReadAll>
Result measure(phonesim::SimulatedPhone& phone, uint64_t size, ReadAll readAll) {
    mtp::MTPSession session(std::make_unique<phonesim::SimulatedTransport>(phone));
    session.open();
    uint32_t handle = session.list(Internal, mtp::RootParent).at(0).handle;
    phone.resetStats();
    auto start = std::chrono::steady_clock::now();
    uint64_t read = readAll(session, handle);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (read != size) {
        std::fprintf(stderr, "read %llu bytes of %llu\n", static_cast<unsigned long long>(read),
                     static_cast<unsigned long long>(size));
        std::exit(1);
    }
    double mib = static_cast<double>(size) / MiB;
    return {static_cast<double>(size) / 1e6 / seconds,
            static_cast<double>(phone.stats().transactions()) / mib};
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    if (mib == 0) {
        std::fprintf(stderr, "usage: readahead_bench [MiB]\n");
        return 2;
    }
    uint64_t size = mib * MiB;
    try {
        TempDir dir;
        phonesim::PhoneConfig config;
        config.storages = {
            phonesim::StorageConfig{"Internal shared storage", 64ull << 30, dir.path(), false}};
        phonesim::SimulatedPhone phone(config);
        phone.addSparseFile(Internal, "object.bin", size);

        std::vector<uint8_t> piece(128 * KiB), chunk(4 * MiB);
        mtp::ReadAhead readAhead;
        auto throughReadAhead = [&](mtp::MTPSession& session, uint32_t handle) {
            readAhead.invalidate(handle);
            uint64_t done = 0;
            while (done < size) {
                size_t n =
                    readAhead.read(session, handle, size, static_cast<int64_t>(done), piece).size();
                if (n == 0) break;
                done += n;
            }
            return done;
        };
        auto throughReadPartial = [&](mtp::MTPSession& session, uint32_t handle) {
            uint64_t done = 0;
            while (done < size) {
                uint32_t want =
                    static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), size - done));
                size_t n = session.readPartial(handle, done, want, chunk);
                if (n == 0) break;
                done += n;
            }
            return done;
        };

        std::printf("readahead_bench: %llu MiB sparse object on a folder-backed simulated phone\n",
                    static_cast<unsigned long long>(mib));
        std::printf("%-6s %-28s %10s %18s\n", "link", "method", "MB/s", "transactions/MiB");
        for (const char* link : {"none", "usb2", "usb3"}) {
            phone.setLink(*phonesim::LinkModel::named(link));
            Result ahead = measure(phone, size, throughReadAhead);
            std::printf("%-6s %-28s %10.1f %18.3f\n", link, "ReadAhead, 128 KiB pieces",
                        ahead.megabytesPerSecond, ahead.transactionsPerMiB);
            Result raw = measure(phone, size, throughReadPartial);
            std::printf("%-6s %-28s %10.1f %18.3f\n", link, "readPartial, 4 MiB pieces",
                        raw.megabytesPerSecond, raw.transactionsPerMiB);
            std::printf("%-6s %-28s %10.3f\n", link, "ratio ReadAhead/raw",
                        ahead.megabytesPerSecond / raw.megabytesPerSecond);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "readahead_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
