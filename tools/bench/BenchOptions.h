#pragma once
// The command line the mount benchmarks share:
//     [--size MiB] [--files N] [--link none|usb2|usb3|all]

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/phonesim/SimulatedPhone.h"

namespace bench {

struct BenchOptions {
    uint64_t sizeMiB = 1024;
    int files = 10'000;  // only for benchmarks that accept --files
    std::vector<std::string> links{"none", "usb2", "usb3"};
};

// Options given on the command line over defaults. Throws std::runtime_error with a usage text
// for anything it does not understand.
inline BenchOptions parseOptions(int argc, char** argv, bool acceptsFiles,
                                 BenchOptions options = {}) {
    if (argc % 2 == 0) throw std::runtime_error("options come in pairs");
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--size") {
            options.sizeMiB = std::strtoull(value.c_str(), nullptr, 10);
            if (options.sizeMiB < 8) throw std::runtime_error("--size is at least 8 MiB");
        } else if (flag == "--files" && acceptsFiles) {
            options.files = std::atoi(value.c_str());
            if (options.files < 1) throw std::runtime_error("bad --files");
        } else if (flag == "--link") {
            if (value == "all") {
                options.links = BenchOptions{}.links;
                continue;
            }
            if (!phonesim::LinkModel::named(value))
                throw std::runtime_error("--link none|usb2|usb3|all");
            options.links = {value};
        } else {
            throw std::runtime_error("unknown option " + flag);
        }
    }
    return options;
}

// The named link model, with the packet size of the bus it models (SuperSpeed: 1024 bytes).
inline void setLink(phonesim::PhoneConfig& config, const std::string& name) {
    config.link = phonesim::LinkModel::named(name).value_or(phonesim::LinkModel{});
    config.maxPacketSize = name == "usb3" ? 1024 : 512;
}

// Seconds the phone's link model charged since `before` (its stats' linkTime).
inline double linkSeconds(const phonesim::SimulatedPhone& phone, std::chrono::nanoseconds before) {
    return std::chrono::duration<double>(phone.stats().linkTime - before).count();
}

inline double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Prints wall time against the time the link model charged, for the mount and the raw session:
// how busy each kept the link. Run: any type with wallSeconds and linkSeconds.
template <typename Run>
void printLinkBusy(const Run& mounted, const Run& raw) {
    std::printf(
        "  wall against link time: mount %.2f s / %.2f s (link busy %.3f), raw %.2f s / "
        "%.2f s (link busy %.3f)\n",
        mounted.wallSeconds, mounted.linkSeconds, mounted.linkSeconds / mounted.wallSeconds,
        raw.wallSeconds, raw.linkSeconds, raw.linkSeconds / raw.wallSeconds);
}

}  // namespace bench
