#pragma once
// Before anything is attached for a phone: can the app open its MTP interface, does a session
// open, does the phone show a storage, can it take changes. Closes the session and releases the
// interface before it returns, so that the mount helper can open the phone next.

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

#include <qcoro/qcorotask.h>

#include "app/services/ShellRunner.h"
#include "mtp/USBDeviceRecord.h"
#include "mtp/USBDiscovery.h"

namespace brisvale {

namespace preflight {
struct Ready {
    uint64_t free = 0;      // bytes, summed over the storages
    uint64_t capacity = 0;  // bytes, summed over the storages
    bool canWrite = false;  // the seven operations writing needs are all there
    bool operator==(const Ready&) const = default;
};
struct Busy {
    std::string owner;  // the name of the process that holds the phone
    bool operator==(const Busy&) const = default;
};
struct Failed {
    std::string message;  // the error's text
    bool operator==(const Failed&) const = default;
};
struct Locked {
    bool operator==(const Locked&) const = default;
};
}  // namespace preflight

using PreflightResult =
    std::variant<preflight::Ready, preflight::Busy, preflight::Failed, preflight::Locked>;

// "ready(free, capacity, canWrite)", "busy(owner)", "failed(text)", "locked": for logs.
std::string describe(const PreflightResult& result);

class Preflight {
  public:
    // The desktop's MTP daemon, which grabs phones as they arrive; it is killed to free them.
    static constexpr const char* cameraDaemon = "gvfsd-mtp";
    // Our own mount helper still holds a phone for a moment after its unmount, while it closes
    // the session: it is waited for, not reported busy (a remount would lose its mode).
    static constexpr const char* mountHelper = "mount.mtpfs";
    static constexpr std::chrono::milliseconds deadline{3000};
    static constexpr std::chrono::milliseconds pause{200};

    // Keeps a reference to the runner, which must outlive it.
    explicit Preflight(ProcessRunner& runner, mtp::USBDiscovery discovery = mtp::USBDiscovery());

    // Blocking; any thread but the main one; never throws.
    PreflightResult probe(const mtp::USBDeviceRecord& record) const;

    // probe() on a worker; the result arrives on the main thread.
    QCoro::Task<PreflightResult> run(mtp::USBDeviceRecord record) const;

  private:
    ProcessRunner& runner_;
    mtp::USBDiscovery discovery_;
};

}  // namespace brisvale
