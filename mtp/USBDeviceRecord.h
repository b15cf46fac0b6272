#pragma once
// One attached USB device as discovery sees it, and how it is classified.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mtp {

// What a USB device offers: a tagged variant whose `mtp` case carries the MTP interface number.
class DeviceKind {
  public:
    enum class Tag : uint8_t { mtp, androidChargingOnly, other };

    constexpr DeviceKind() = default;
    static constexpr DeviceKind mtp(uint8_t interfaceNumber) {
        return DeviceKind(Tag::mtp, interfaceNumber);
    }
    // An Android phone whose USB mode offers no file transfer.
    static constexpr DeviceKind androidChargingOnly() {
        return DeviceKind(Tag::androidChargingOnly, 0);
    }
    static constexpr DeviceKind other() { return DeviceKind(Tag::other, 0); }

    constexpr Tag tag() const { return tag_; }
    constexpr bool isMTP() const { return tag_ == Tag::mtp; }
    // bInterfaceNumber of the MTP interface; none unless the case is `mtp`.
    constexpr std::optional<uint8_t> mtpInterface() const {
        if (tag_ != Tag::mtp) return std::nullopt;
        return interfaceNumber_;
    }
    // "mtp(N)", "androidChargingOnly" or "other"; for logs and test output.
    std::string description() const;

    bool operator==(const DeviceKind&) const = default;

  private:
    constexpr DeviceKind(Tag tag, uint8_t interfaceNumber)
        : tag_(tag), interfaceNumber_(interfaceNumber) {}
    Tag tag_ = Tag::other;
    uint8_t interfaceNumber_ = 0;
};

// One interface of the device's active configuration. Absent numbers read as 0.
struct USBInterfaceInfo {
    uint8_t number = 0;
    uint8_t cls = 0;
    uint8_t subclass = 0;
    uint8_t proto = 0;
    std::optional<std::string> name;  // the interface string
    int endpointCount = 0;
    bool operator==(const USBInterfaceInfo&) const = default;
};

struct USBDeviceRecord {
    // The phone's identity everywhere: `serial`, or "loc-%08x" of `locationID` without one.
    std::string id;
    std::string name = "Phone";  // USB product string
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    std::string serial;
    // Bus number in the top byte, then one nibble per hub port from the root (bus 1, ports
    // 4.2: 0x01420000).
    uint32_t locationID = 0;
    // Changes whenever the device enumerates again. Bits 32-39: bus number; bits 0-7: device
    // address; bits 8-31: a tag that tells apart two enumerations that got the same address.
    uint64_t registryID = 0;
    DeviceKind kind;

    // What libusb opens the device by (libusb_get_bus_number / libusb_get_device_address).
    uint8_t busNumber() const { return static_cast<uint8_t>(registryID >> 32); }
    uint8_t deviceAddress() const { return static_cast<uint8_t>(registryID); }

    bool operator==(const USBDeviceRecord&) const = default;
};

// `serial` when it is not empty, otherwise "loc-" and 8 lower-case hex digits of locationID.
std::string deviceID(std::string_view serial, uint32_t locationID);

// The first rule that applies: Apple's vendor ID is never a phone; the first interface that is
// MTP (still image class 6/1, or vendor-specific 0xFF/0xFF named exactly "MTP", each with more
// than 2 endpoints) gives `mtp`; an Android debug bridge interface (0xFF/0x42/1) or a phone
// maker's vendor ID gives `androidChargingOnly`; anything else is `other`.
DeviceKind classify(uint16_t vendorID, const std::vector<USBInterfaceInfo>& interfaces);

}  // namespace mtp
