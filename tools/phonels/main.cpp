// phonels: lists a phone's storages and folders through an MTP session. For now the phone is
// the simulated one, in this process; listPhone() works the same on a real USB session.

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "tools/phonels/PhoneLister.h"
#include "tools/phonesim/DemoContent.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

const char* usage =
    "usage: phonels [--storage DIR]... [--depth N] [--bytes] [--no-proplist] [--stats]\n"
    "Lists a simulated Android phone: its storages, then a tree of folders with sizes and\n"
    "dates, read over MTP.\n"
    "  --storage DIR   serve DIR as a storage (repeatable); default: demo content in memory\n"
    "  --depth N       show N folder levels below each storage\n"
    "  --bytes         exact sizes in bytes\n"
    "  --no-proplist   list with GetObjectInfo per object instead of GetObjectPropList\n"
    "  --stats         print the MTP operations the listing cost\n";

struct Options {
    std::vector<std::filesystem::path> storages;
    phonels::ListOptions list;
    bool stats = false;
};

// Exits with a message on bad arguments.
Options parse(int argc, char** argv) {
    Options options;
    auto fail = [](const std::string& message) {
        std::cerr << "phonels: " << message << '\n' << usage;
        std::exit(2);
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--storage") {
            std::filesystem::path dir = value();
            std::error_code ec;
            if (!std::filesystem::is_directory(dir, ec)) fail(dir.string() + " is not a folder");
            options.storages.push_back(std::filesystem::absolute(dir));
        } else if (arg == "--depth") {
            std::string n = value();
            char* end = nullptr;
            long depth = std::strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || depth < 0 || depth > 1000) fail("bad depth " + n);
            options.list.maxDepth = static_cast<int>(depth);
        } else if (arg == "--bytes") {
            options.list.bytes = true;
        } else if (arg == "--no-proplist") {
            options.list.usePropList = false;
        } else if (arg == "--stats") {
            options.stats = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            std::exit(0);
        } else {
            fail("unknown option " + arg);
        }
    }
    return options;
}

std::unique_ptr<phonesim::SimulatedPhone> makePhone(const Options& options) {
    if (options.storages.empty()) {
        auto phone = std::make_unique<phonesim::SimulatedPhone>(phonesim::demoPhoneConfig());
        phonesim::addDemoContent(*phone);
        return phone;
    }
    phonesim::PhoneConfig config;
    config.storages.clear();
    for (size_t i = 0; i < options.storages.size(); ++i) {
        std::string name = i == 0   ? "Internal shared storage"
                           : i == 1 ? "SD card"
                                    : "Storage " + std::to_string(i + 1);
        // Capacity 0: the folder's real file system size and free space.
        config.storages.push_back(phonesim::StorageConfig{name, 0, options.storages[i], i > 0});
    }
    return std::make_unique<phonesim::SimulatedPhone>(config);
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    try {
        std::unique_ptr<phonesim::SimulatedPhone> phone = makePhone(options);
        phone->resetStats();
        mtp::MTPSession session(std::make_unique<phonesim::SimulatedTransport>(*phone));
        session.open();
        phonels::listPhone(session, std::cout, options.list);
        session.transact(mtp::Op::CloseSession);
        if (options.stats) {
            phonesim::PhoneStats stats = phone->stats();
            std::cout << "\n"
                      << stats.transactions() << " MTP transactions, "
                      << phonels::formatSize(stats.bytesToHost) << " read:";
            for (const auto& [op, count] : stats.operations) {
                char item[32];
                std::snprintf(item, sizeof item, " 0x%04X x %llu", mtp::wire(op),
                              static_cast<unsigned long long>(count));
                std::cout << item;
            }
            std::cout << '\n';
        }
    } catch (const std::exception& error) {
        std::cerr << "phonels: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
