#pragma once
// What a USB link between computer and phone costs, charged the way a real bus charges it, so
// that code with many small transfers pays for them as it would on a real phone.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace phonesim {

struct LinkModel {
    // The phone's turnaround: from the end of a command (and its data) to the first packet of
    // the answer. Charged once per transaction.
    std::chrono::nanoseconds latencyPerTransaction{0};
    // The host controller's scheduling and completion of one transfer (an URB).
    std::chrono::nanoseconds perTransfer{0};
    // Token, handshake and framing of every packet; a zero-length packet is one packet too.
    std::chrono::nanoseconds perPacket{0};
    double bytesPerSecond = 0;  // payload rate; 0: unlimited

    // USB 2.0 high speed as phones reach it: about 35 MB/s, 0.25 ms per transaction.
    static LinkModel usb2();
    // USB 3 SuperSpeed as phones reach it: about 300 MB/s, 0.1 ms per transaction.
    static LinkModel usb3();
    // "none", "usb2" or "usb3"; none for any other name.
    static std::optional<LinkModel> named(std::string_view name);

    bool isFree() const { return *this == LinkModel{}; }
    // Wire time of one transfer of `bytes` in packets of at most packetSize bytes (latency not
    // included).
    std::chrono::nanoseconds transferTime(uint64_t bytes, int packetSize) const;
    bool operator==(const LinkModel&) const = default;
};

}  // namespace phonesim
