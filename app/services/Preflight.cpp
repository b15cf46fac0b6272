#include "app/services/Preflight.h"

#include <memory>
#include <thread>

#include "app/services/Worker.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "mtp/USBTransport.h"

namespace brisvale {

namespace {

void closeQuietly(mtp::MTPSession& session) {
    try {
        session.transact(mtp::Op::CloseSession);
    } catch (const std::exception&) {
        // The phone may have gone; the interface is released either way.
    }
}

}  // namespace

std::string describe(const PreflightResult& result) {
    struct {
        std::string operator()(const preflight::Ready& r) const {
            return "ready(" + std::to_string(r.free) + ", " + std::to_string(r.capacity) + ", " +
                   (r.canWrite ? "true" : "false") + ")";
        }
        std::string operator()(const preflight::Busy& b) const { return "busy(" + b.owner + ")"; }
        std::string operator()(const preflight::Failed& f) const {
            return "failed(" + f.message + ")";
        }
        std::string operator()(const preflight::Locked&) const { return "locked"; }
    } text;
    return std::visit(text, result);
}

Preflight::Preflight(ProcessRunner& runner, mtp::USBDiscovery discovery)
    : runner_(runner), discovery_(std::move(discovery)) {}

PreflightResult Preflight::probe(const mtp::USBDeviceRecord& record) const {
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::unique_ptr<mtp::USBTransport> transport;
    std::string openError;
    auto tryOpen = [&] {
        try {
            transport = mtp::USBTransport::create(record, {}, discovery_);
        } catch (const std::exception& error) {
            openError = error.what();
        }
    };
    tryOpen();
    while (!transport) {
        const auto owner = discovery_.exclusiveOwner(record);
        if (!owner) return preflight::Failed{openError};
        const bool waitable = *owner == cameraDaemon || *owner == mountHelper;
        if (!waitable || std::chrono::steady_clock::now() >= end) return preflight::Busy{*owner};
        if (*owner == cameraDaemon) runner_.runQuietly("/usr/bin/killall", {cameraDaemon});
        std::this_thread::sleep_for(pause);
        tryOpen();
    }

    mtp::MTPSession session(std::move(transport));
    // The session owns the transport: destroying the session releases the interface.
    std::vector<mtp::MTPStorage> storages;
    try {
        session.open();
        storages = session.storages();
    } catch (const std::exception& error) {
        closeQuietly(session);
        return preflight::Failed{error.what()};
    }
    closeQuietly(session);
    if (storages.empty()) return preflight::Locked{};
    preflight::Ready ready;
    for (const mtp::MTPStorage& storage : storages) {
        ready.free += storage.free;
        ready.capacity += storage.capacity;
    }
    ready.canWrite = session.supportsWriting();
    return ready;
}

QCoro::Task<PreflightResult> Preflight::run(mtp::USBDeviceRecord record) const {
    // A named awaiter: GCC 12 destroys a temporary one twice inside co_return.
    auto probing = onWorker([this, record] { return probe(record); });
    co_return co_await probing;
}

}  // namespace brisvale
