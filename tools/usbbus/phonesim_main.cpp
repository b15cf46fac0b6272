// phonesim [options] -- COMMAND [ARGS...]: plugs a simulated phone into a virtual USB bus, runs
// COMMAND where it can see that bus, and exits with COMMAND's status.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/ControlServer.h"
#include "tools/usbbus/VirtualUSBBus.h"

extern char** environ;

namespace {

using phonesim::PhoneConfig;
using phonesim::SimulatedPhone;
using usbbus::DeviceProfile;
using usbbus::Variant;
using usbbus::VirtualUSBBus;

const char* const kHelp = R"(usage: phonesim [options] -- COMMAND [ARGS...]

Plugs a simulated Android phone into a virtual USB bus (libumockdev), runs COMMAND with the
environment that reaches the bus (LD_PRELOAD=libumockdev-preload.so.0, UMOCKDEV_DIR) and exits
with COMMAND's status. Without COMMAND it runs $SHELL.

options:
  --storage DIR       add a storage backed by folder DIR (repeatable); none: one in-memory storage
  --serial S          USB serial number (default SIM0001; "" for a phone without one)
  --name NAME         product name (default "Simulated Phone")
  --manufacturer M    manufacturer name (default "Brisvale")
  --no-edit           no Android edit operations (BeginEditObject ... TruncateObject)
  --no-64bit          no GetPartialObject64
  --no-proplist       no GetObjectPropList
  --no-propvalue      no GetObjectPropValue
  --locked            the phone shows no storage until unlocked
  --charging-only     the phone starts in charging-only mode (only the debug interface)
  --variant V         USB layout: mtp (default), vendor-mtp, no-interrupt, two-bulk-out,
                      charging-only, keyboard
  --link none|usb2|usb3
                      link model: none (default); USB 2.0 high speed (35 MB/s, 0.25 ms per
                      transaction); USB 3 (300 MB/s, 0.1 ms per transaction, 1024-byte packets)
  -v, --verbose       print the bus's counts when COMMAND ends
  -h, --help          this text

While COMMAND runs, PHONESIM_CONTROL names a Unix socket that takes one command per line and
answers one line: "ok" and details, a JSON object (stats, info) or "error: " and the reason.
PHONESIM_CTL names the client program: "$PHONESIM_CTL unplug". PORT is the hub port, 1-4
(default 1, the phone given by the options; a phone plugged at another port is a second phone
with serial SIM000<PORT>).
  plug [PORT [VARIANT]]  plug the port's phone in again (VARIANT as --variant)
  unplug [PORT]          pull it out: transfers in flight fail, a "remove" uevent goes out
  lock [PORT]            the phone locks its screen: no storages
  unlock [PORT]          the phone unlocks
  hold [PORT]            another process (phonesim-hold) claims the phone's interface: busy
  release [PORT]         that process lets go
  charging-only [PORT]   the phone switches to charging-only mode (re-enumerates)
  mtp [PORT]             the phone switches back to file transfer (re-enumerates)
  stats [PORT]           {"phone": operations served by code, or null; "bus": transfer counts}
  addfile PATH [BYTES]   an app on the phone saves a file of BYTES zeros in the first storage
  edits                  the handles of the phone at port 1 with an edit in progress
  fault NAME [ARGS]      a fault of the phone at port 1: storefull [on|off], fail OP CODE
                         [TIMES [SKIP]] (after SKIP more OP, OP answers CODE; TIMES default 1,
                         -1 every one), stall-in OP [TIMES] (bulk IN halts instead of
                         answering OP), stall-events [N] (the next N event reads halt the
                         interrupt endpoint), unplug-after BYTES, clear
  info [PORT]            {"node", "sysfs", "busnum", "devnum", "variant", "serial", "held"}
  help                   the list of commands
)";

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "phonesim: %s\n(see phonesim --help)\n", message.c_str());
    std::exit(2);
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out += c;
    }
    return out + "\"";
}

struct Options {
    PhoneConfig config;
    Variant variant = Variant::mtpClass;
    bool chargingOnly = false;
    bool verbose = false;
    std::vector<std::string> command;
};

Options parse(int argc, char** argv) {
    Options options;
    std::vector<std::filesystem::path> storages;
    int i = 1;
    auto value = [&](const char* name) -> std::string {
        if (i + 1 >= argc) usageError(std::string(name) + " needs a value");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (arg == "--storage") {
            std::filesystem::path dir = value("--storage");
            std::error_code error;
            if (!std::filesystem::is_directory(dir, error)) {
                usageError("--storage " + dir.string() + ": no such folder");
            }
            storages.push_back(std::filesystem::absolute(dir));
        } else if (arg == "--serial") {
            options.config.serial = value("--serial");
        } else if (arg == "--name") {
            options.config.model = value("--name");
        } else if (arg == "--manufacturer") {
            options.config.manufacturer = value("--manufacturer");
        } else if (arg == "--no-edit") {
            options.config.faults.noEdit = true;
        } else if (arg == "--no-64bit") {
            options.config.faults.no64bit = true;
        } else if (arg == "--no-proplist") {
            options.config.faults.noPropList = true;
        } else if (arg == "--no-propvalue") {
            options.config.faults.noPropValue = true;
        } else if (arg == "--locked") {
            options.config.faults.locked = true;
        } else if (arg == "--charging-only") {
            options.chargingOnly = true;
        } else if (arg == "--variant") {
            const std::string name = value("--variant");
            const auto variant = usbbus::variantFromName(name);
            if (!variant) usageError("unknown variant " + name);
            options.variant = *variant;
        } else if (arg == "--link") {
            const std::string name = value("--link");
            const auto link = phonesim::LinkModel::named(name);
            if (!link) usageError("unknown link model " + name + " (none, usb2 or usb3)");
            options.config.link = *link;
            // SuperSpeed bulk endpoints carry 1024-byte packets.
            options.config.maxPacketSize = name == "usb3" ? 1024 : 512;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg.starts_with("-")) {
            usageError("unknown option " + arg);
        } else {
            break;
        }
    }
    for (; i < argc; ++i) options.command.emplace_back(argv[i]);
    if (!storages.empty()) {
        options.config.storages.clear();
        for (size_t n = 0; n < storages.size(); ++n) {
            phonesim::StorageConfig storage;
            if (n > 0) storage.description = "Storage " + std::to_string(n + 1);
            storage.folder = storages[n];
            options.config.storages.push_back(storage);
        }
    }
    return options;
}

// The phones of the session, by hub port, and the commands of the control socket.
class Session {
  public:
    Session(VirtualUSBBus& bus, const Options& options) : bus_(bus) {
        Port& first = ports_[1];
        first.config = options.config;
        first.variant = options.variant;
        first.phone = std::make_shared<SimulatedPhone>(first.config);
        plugPort(1, options.chargingOnly ? Variant::chargingOnly : first.variant);
    }

    std::string handle(const std::string& line) {
        std::istringstream in(line);
        std::string command, portText, variantText;
        in >> command >> portText >> variantText;
        if (command.empty()) return "error: empty command";
        if (command == "help")
            return "ok plug unplug lock unlock hold release charging-only mtp "
                   "stats info fault addfile edits help";
        if (command == "addfile" || command == "edits") {
            try {
                return phoneSide(command, portText, variantText);
            } catch (const std::exception& error) {
                return std::string("error: ") + error.what();
            }
        }
        if (command == "fault") {
            try {
                return fault(line);
            } catch (const std::exception& error) {
                return std::string("error: ") + error.what();
            }
        }
        int port = 1;
        if (!portText.empty()) {
            port = std::atoi(portText.c_str());
            if (port < 1 || port > 4) return "error: no hub port " + portText;
        }
        try {
            return run(command, port, variantText);
        } catch (const std::exception& error) {
            return std::string("error: ") + error.what();
        }
    }

    std::string busCounts() const {
        std::string out;
        for (const auto& [port, state] : ports_) {
            const usbbus::EngineStats s = bus_.stats(port);
            out += "port " + std::to_string(port) + ": " + std::to_string(s.ioctls) + " ioctls, " +
                   std::to_string(s.urbs) + " URBs, " + std::to_string(s.transfersOut) +
                   " transfers out (" + std::to_string(s.bytesOut) + " bytes), " +
                   std::to_string(s.transfersIn) + " in (" + std::to_string(s.bytesIn) +
                   " bytes)\n";
        }
        return out;
    }

  private:
    struct Port {
        PhoneConfig config;
        Variant variant = Variant::mtpClass;
        std::shared_ptr<SimulatedPhone> phone;
    };

    Port& port(int number) {
        auto found = ports_.find(number);
        if (found != ports_.end()) return found->second;
        Port& created = ports_[number];
        created.config = ports_[1].config;
        created.config.storages = {phonesim::StorageConfig{}};
        created.config.serial = "SIM000" + std::to_string(number);
        created.config.model = ports_[1].config.model + " " + std::to_string(number);
        created.phone = std::make_shared<SimulatedPhone>(created.config);
        return created;
    }

    DeviceProfile profileOf(const Port& state, Variant variant) const {
        if (variant == Variant::keyboard) return DeviceProfile::keyboardProfile();
        return usbbus::profileFor(state.config, variant);
    }

    std::string plugPort(int number, Variant variant) {
        Port& state = port(number);
        const usbbus::BusAddress address =
            bus_.plug(number, profileOf(state, variant), state.phone);
        return "ok " + address.devNode();
    }

    std::string run(const std::string& command, int number, const std::string& variantText) {
        if (command == "plug") {
            if (bus_.address(number)) return "error: port " + std::to_string(number) + " is taken";
            Variant variant = port(number).variant;
            if (!variantText.empty()) {
                const auto named = usbbus::variantFromName(variantText);
                if (!named) return "error: unknown variant " + variantText;
                variant = *named;
            }
            return plugPort(number, variant);
        }
        const std::optional<DeviceProfile> profile = bus_.profile(number);
        if (command == "stats" || command == "info") {
            if (command == "stats") return stats(number);
            return info(number);
        }
        if (!profile) return "error: nothing plugged at port " + std::to_string(number);
        Port& state = port(number);
        if (command == "unplug") {
            bus_.unplug(number);
            return "ok";
        }
        if (command == "hold") return "ok " + std::to_string(bus_.hold(number));
        if (command == "release") {
            bus_.release(number);
            return "ok";
        }
        if (command == "lock" || command == "unlock") {
            const bool locked = command == "lock";
            state.phone->updateFaults([locked](phonesim::Faults& f) { f.locked = locked; });
            return "ok";
        }
        if (command == "charging-only") {
            return "ok " + bus_.replug(number, profileOf(state, Variant::chargingOnly)).devNode();
        }
        if (command == "mtp") {
            return "ok " + bus_.replug(number, profileOf(state, state.variant)).devNode();
        }
        return "error: unknown command " + command + " (try help)";
    }

    // "fault NAME [ARGS]" for the phone at port 1, from the next transfer on:
    //   storefull [on|off]      every storage reports 0 bytes free (writes answer StoreFull)
    //   fail OP CODE [TIMES [SKIP]]  after SKIP (default 0) more transactions of OP, the next
    //                           TIMES (default 1; -1 every) answer CODE without being carried
    //                           out (numbers in C syntax: 0x1019)
    //   stall-in OP [TIMES]     the next TIMES (default 1) transactions of OP (0: any) are
    //                           carried out, but bulk IN halts instead of answering
    //   stall-events [N]        the next N (default 1) reads of the interrupt endpoint halt it
    //   unplug-after BYTES      the phone is pulled out once BYTES more crossed the bulk pipes
    //   clear                   these off again
    std::string fault(const std::string& line) {
        std::istringstream in(line);
        std::string word, name, first, second, third, fourth;
        in >> word >> name >> first >> second >> third >> fourth;
        auto number = [](const std::string& text) -> long long {
            if (text.empty()) throw std::invalid_argument("a number is missing");
            size_t used = 0;
            const long long value = std::stoll(text, &used, 0);
            if (used != text.size()) throw std::invalid_argument("not a number: " + text);
            return value;
        };
        // An operation code; 0 is any operation.
        auto operation = [&number](const std::string& text) -> std::optional<mtp::Op> {
            const auto code = static_cast<uint16_t>(number(text));
            if (code == 0) return std::nullopt;
            return mtp::Op{code};
        };
        Port& state = port(1);
        if (name == "storefull") {
            if (!first.empty() && first != "on" && first != "off")
                return "error: storefull takes on or off";
            const bool full = first != "off";
            state.phone->updateFaults([full](phonesim::Faults& f) { f.storeFull = full; });
        } else if (name == "fail") {
            const auto op = operation(first);
            const auto response = mtp::Response{static_cast<uint16_t>(number(second))};
            const int times = third.empty() ? 1 : static_cast<int>(number(third));
            const int skip = fourth.empty() ? 0 : static_cast<int>(number(fourth));
            state.phone->updateFaults([&](phonesim::Faults& f) {
                f.fail = phonesim::FaultTrigger{op, times};
                f.failResponse = response;
                f.failSkip = skip;
            });
        } else if (name == "stall-in") {
            const auto op = operation(first);
            const int times = second.empty() ? 1 : static_cast<int>(number(second));
            state.phone->updateFaults(
                [&](phonesim::Faults& f) { f.stallIn = phonesim::FaultTrigger{op, times}; });
        } else if (name == "stall-events") {
            const int times = first.empty() ? 1 : static_cast<int>(number(first));
            state.phone->updateFaults([times](phonesim::Faults& f) { f.stallEvents = times; });
        } else if (name == "unplug-after") {
            const auto bytes = static_cast<uint64_t>(number(first));
            state.phone->updateFaults([bytes](phonesim::Faults& f) { f.unplugAfterBytes = bytes; });
        } else if (name == "clear") {
            state.phone->updateFaults([](phonesim::Faults& f) {
                f.storeFull = false;
                f.fail = {};
                f.failSkip = 0;
                f.unplugAfterBytes.reset();
                f.stallIn = {};
                f.stallEvents = 0;
            });
        } else {
            return "error: unknown fault " + name +
                   " (storefull, fail, stall-in, stall-events, unplug-after, clear)";
        }
        return "ok";
    }

    // From the phone's side, at port 1: "addfile PATH [BYTES]" adds a file of BYTES zeros (0
    // by default) in the first storage, as if an app on the phone had saved it; "edits" lists
    // the handles with an edit in progress ("ok 12 15").
    std::string phoneSide(const std::string& command, const std::string& path,
                          const std::string& size) {
        SimulatedPhone& phone = *port(1).phone;
        if (command == "edits") {
            std::string out = "ok";
            for (const uint32_t handle : phone.openEdits()) out += " " + std::to_string(handle);
            return out;
        }
        if (path.empty()) return "error: addfile needs a path";
        const uint64_t bytes = size.empty() ? 0 : std::stoull(size);
        phone.addFile(phone.storageID(0), path, phonesim::Bytes(bytes, 0));
        return "ok";
    }

    std::string stats(int number) {
        const usbbus::EngineStats s = bus_.stats(number);
        auto found = ports_.find(number);
        std::string phone = "null";
        if (found != ports_.end() && found->second.phone) {
            phone = found->second.phone->statsJson();
            std::erase(phone, '\n');
        }
        return "{\"phone\":" + phone + ",\"bus\":{\"ioctls\":" + std::to_string(s.ioctls) +
               ",\"urbs\":" + std::to_string(s.urbs) +
               ",\"transfersOut\":" + std::to_string(s.transfersOut) +
               ",\"transfersIn\":" + std::to_string(s.transfersIn) +
               ",\"bytesOut\":" + std::to_string(s.bytesOut) +
               ",\"bytesIn\":" + std::to_string(s.bytesIn) +
               ",\"events\":" + std::to_string(s.events) + "}}";
    }

    std::string info(int number) {
        const auto address = bus_.address(number);
        const auto profile = bus_.profile(number);
        if (!address || !profile) return "{\"plugged\":false}";
        return "{\"plugged\":true,\"node\":" + jsonString(address->devNode()) +
               ",\"sysfs\":" + jsonString(address->sysPath()) +
               ",\"busnum\":" + std::to_string(address->busnum) +
               ",\"devnum\":" + std::to_string(address->devnum) +
               ",\"variant\":" + jsonString(usbbus::variantName(profile->variant)) +
               ",\"serial\":" + jsonString(profile->serial) + "}";
    }

    VirtualUSBBus& bus_;
    std::map<int, Port> ports_;
};

// Runs the command with every termination signal held back in this process, so that the
// bus outlives the command; TERM and HUP are passed on. Returns a shell-style status.
int runCommand(std::vector<std::string> command, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "USBBUS_REEXEC=", 14)) env.emplace_back(*e);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp, args;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    for (std::string& arg : command) args.push_back(arg.data());
    args.push_back(nullptr);

    sigset_t handled, none;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&handled, s);
    sigemptyset(&none);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &handled);
    pid_t child = -1;
    const int spawned =
        posix_spawnp(&child, args[0], nullptr, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        std::fprintf(stderr, "phonesim: cannot run %s: %s\n", args[0], std::strerror(spawned));
        return 127;
    }
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        int signal = 0;
        sigwait(&handled, &signal);
        // INT and QUIT from a terminal reach the command through its process group already.
        if (signal == SIGTERM || signal == SIGHUP) ::kill(child, signal);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    VirtualUSBBus::ensureMockEnvironment(argv);
    if (options.command.empty()) {
        const char* shell = std::getenv("SHELL");
        options.command.emplace_back(shell && *shell ? shell : "/bin/sh");
    }
    // Every thread started from here on inherits the blocked signals; runCommand waits for them.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&handled, s);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    int status = 1;
    try {
        VirtualUSBBus bus;
        Session session(bus, options);
        std::optional<usbbus::ControlServer> control;
        control.emplace(bus.root() + "/control",
                        [&](const std::string& line) { return session.handle(line); });
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        std::vector<std::string> env{
            "PHONESIM_CONTROL=" + control->path(),
            "PHONESIM_CTL=" + (self.parent_path() / "phonesim-ctl").string()};
        status = runCommand(options.command, env);
        control.reset();  // no command changes the session any more
        if (options.verbose) std::fputs(session.busCounts().c_str(), stderr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "phonesim: %s\n", error.what());
        return 1;
    }
    return status;
}
