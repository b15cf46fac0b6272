#include "tools/phonesim/LinkModel.h"

namespace phonesim {

using std::chrono::nanoseconds;

// Per packet: USB 2.0 frames a 512-byte packet with a token, CRC, handshake and inter-packet
// gaps, about 400 bit times at 480 Mbit/s; SuperSpeed's headers cost about 30 bytes at 500 MB/s.
// Per transfer: the host controller's completion interrupt (xHCI moderates it to ~40 us) and the
// start of the next transfer. The payload rates are what phones deliver, below the bus's own.
LinkModel LinkModel::usb2() {
    return LinkModel{std::chrono::microseconds(250), std::chrono::microseconds(40),
                     nanoseconds(830), 37e6};
}

LinkModel LinkModel::usb3() {
    return LinkModel{std::chrono::microseconds(100), std::chrono::microseconds(40), nanoseconds(60),
                     310e6};
}

std::optional<LinkModel> LinkModel::named(std::string_view name) {
    if (name == "none") return LinkModel{};
    if (name == "usb2") return usb2();
    if (name == "usb3") return usb3();
    return std::nullopt;
}

nanoseconds LinkModel::transferTime(uint64_t bytes, int packetSize) const {
    if (isFree()) return nanoseconds(0);
    const uint64_t packet = packetSize > 0 ? static_cast<uint64_t>(packetSize) : 512;
    const uint64_t packets = bytes == 0 ? 1 : (bytes + packet - 1) / packet;
    nanoseconds wire = perTransfer + perPacket * static_cast<int64_t>(packets);
    if (bytesPerSecond > 0) {
        wire +=
            nanoseconds(static_cast<int64_t>(static_cast<double>(bytes) * 1e9 / bytesPerSecond));
    }
    return wire;
}

}  // namespace phonesim
