#pragma once
// What the app knows about one connected phone. Plain values: the model owns the rows, the panel
// draws copies of them.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "mtp/USBDeviceRecord.h"

namespace brisvale {

namespace phase {
struct Busy {
    std::string owner;  // name of the process that holds the phone
    bool operator==(const Busy&) const = default;
};
struct Mounted {
    std::string mountPoint;  // absolute path
    std::string disk;        // the attached placeholder, e.g. "loop7"
    bool operator==(const Mounted&) const = default;
};
struct Failed {
    std::string message;  // one line, shown to the user
    bool operator==(const Failed&) const = default;
};
struct NotMounted {
    bool operator==(const NotMounted&) const = default;
};
struct Preparing {
    bool operator==(const Preparing&) const = default;
};
struct Locked {
    bool operator==(const Locked&) const = default;
};
struct Mounting {
    bool operator==(const Mounting&) const = default;
};
struct Unmounting {
    bool operator==(const Unmounting&) const = default;
};
struct ChargingOnly {
    bool operator==(const ChargingOnly&) const = default;
};
}  // namespace phase

// Where a phone stands. Two phases are equal when their cases and payloads are.
using DevicePhase =
    std::variant<phase::Busy, phase::Mounted, phase::Failed, phase::NotMounted, phase::Preparing,
                 phase::Locked, phase::Mounting, phase::Unmounting, phase::ChargingOnly>;

template <typename Case>
bool is(const DevicePhase& p) {
    return std::holds_alternative<Case>(p);
}

// The case name, then payload values in parentheses: "mounted(/home/u/Phone, loop7)",
// "notMounted". For logs.
std::string describe(const DevicePhase& p);

struct DeviceStatus {
    DevicePhase phase = phase::NotMounted{};
    // The user, or an eject outside the app, took the phone down: no automatic mount until the
    // user mounts it again or plugs it in anew.
    bool userEjected = false;
    std::optional<uint64_t> free;      // bytes over all storages, from the last good probe
    std::optional<uint64_t> capacity;  // bytes over all storages
    bool writable = false;             // mounted, or to be mounted, read-write
    bool canWrite = false;             // the phone has the operations writing needs
    bool remounting = false;           // a read-write switch is under way
    bool switchRefused = false;        // the last switch failed: the volume refused to unmount
    bool operator==(const DeviceStatus&) const = default;
};

struct DeviceRow {
    mtp::USBDeviceRecord record;  // record.id is the row's identity
    DeviceStatus status;
    std::optional<std::string> folder;  // mount folder's name inside the volumes folder
    std::optional<std::string> disk;    // attached placeholder, e.g. "loop7"
    bool operator==(const DeviceRow&) const = default;
};

// What the model does after a transition.
enum class PolicyAction { none, preflight, mount, unmount, cleanup, remount };

}  // namespace brisvale
