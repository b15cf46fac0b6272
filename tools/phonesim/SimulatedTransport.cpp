#include "tools/phonesim/SimulatedTransport.h"

#include <algorithm>
#include <string>
#include <thread>

#include "mtp/MTPError.h"

namespace phonesim {

namespace {

constexpr int drainReads = 16;
constexpr std::chrono::milliseconds drainTimeout(100);

void sleepFor(std::chrono::nanoseconds delay) {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
}

}  // namespace

SimulatedTransport::SimulatedTransport(SimulatedPhone& phone, std::chrono::milliseconds readTimeout)
    : phone_(phone), readTimeout_(readTimeout) {}

int SimulatedTransport::maxPacketSize() const {
    return phone_.maxPacketSize();
}

void SimulatedTransport::write(std::span<const uint8_t> bytes) {
    TransferStatus status = phone_.bulkOut(bytes);
    if (status == TransferStatus::stall) {
        throw mtp::MTPTransportError("bulk OUT transfer stalled", mtp::TransportErrorKind::stall);
    }
    if (status == TransferStatus::noDevice) {
        throw mtp::MTPTransportError("no device", mtp::TransportErrorKind::noDevice);
    }
    sleepFor(phone_.link().transferTime(bytes.size(), phone_.maxPacketSize()));
}

InTransfer SimulatedTransport::readOnce(std::span<uint8_t> buffer,
                                        std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    // The phone answers within the bulkOut call in this process, so pending usually means it
    // never will; poll gently until the deadline anyway, as a real read would wait.
    std::chrono::microseconds pause(50);
    for (;;) {
        InTransfer t = phone_.bulkIn(buffer);
        if (t.status != TransferStatus::pending) return t;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return t;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        std::this_thread::sleep_for(std::min(pause, left));
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
}

size_t SimulatedTransport::read(std::span<uint8_t> buffer) {
    InTransfer t = readOnce(buffer, readTimeout_);
    switch (t.status) {
        case TransferStatus::ok:
            sleepFor(t.delay);
            return t.length;
        case TransferStatus::stall:
            throw mtp::MTPTransportError("bulk IN transfer stalled",
                                         mtp::TransportErrorKind::stall);
        case TransferStatus::noDevice:
            throw mtp::MTPTransportError("no device", mtp::TransportErrorKind::noDevice);
        case TransferStatus::pending:
            break;
    }
    throw mtp::MTPTransportError(
        "bulk IN timed out after " + std::to_string(readTimeout_.count()) + " ms",
        mtp::TransportErrorKind::timeout);
}

void SimulatedTransport::drainInput() noexcept {
    std::vector<uint8_t> scratch(1 << 20);
    for (int i = 0; i < drainReads; ++i) {
        InTransfer t = readOnce(scratch, std::min(drainTimeout, readTimeout_));
        if (t.status == TransferStatus::stall) phone_.clearHalt(Endpoint::bulkIn);
        if (t.status != TransferStatus::ok || t.length == 0) return;
    }
}

}  // namespace phonesim
