#include "mtp/USBDeviceRecord.h"

#include <cstdio>
#include <unordered_set>

namespace mtp {

std::string DeviceKind::description() const {
    switch (tag_) {
        case Tag::mtp:
            return "mtp(" + std::to_string(interfaceNumber_) + ")";
        case Tag::androidChargingOnly:
            return "androidChargingOnly";
        case Tag::other:
            break;
    }
    return "other";
}

std::string deviceID(std::string_view serial, uint32_t locationID) {
    if (!serial.empty()) return std::string(serial);
    char text[16];
    std::snprintf(text, sizeof text, "loc-%08x", locationID);
    return text;
}

namespace {

constexpr uint16_t appleVendorID = 0x05AC;

bool isMTPInterface(const USBInterfaceInfo& interface) {
    if (interface.endpointCount <= 2) return false;
    if (interface.cls == 6 && interface.subclass == 1) return true;
    return interface.cls == 0xFF && interface.subclass == 0xFF && interface.name == "MTP";
}

bool isAndroidDebugBridge(const USBInterfaceInfo& interface) {
    return interface.cls == 0xFF && interface.subclass == 0x42 && interface.proto == 1;
}

bool isPhoneMaker(uint16_t vendorID) {
    static const std::unordered_set<uint16_t> makers{
        0x18D1, 0x04E8, 0x2717, 0x22B8, 0x12D1, 0x2A70, 0x0BB4, 0x1004,
        0x0FCE, 0x05C6, 0x2D95, 0x22D9, 0x0E8D, 0x19D2, 0x17EF,
    };
    return makers.contains(vendorID);
}

}  // namespace

DeviceKind classify(uint16_t vendorID, const std::vector<USBInterfaceInfo>& interfaces) {
    if (vendorID == appleVendorID) return DeviceKind::other();
    for (const auto& interface : interfaces) {
        if (isMTPInterface(interface)) return DeviceKind::mtp(interface.number);
    }
    for (const auto& interface : interfaces) {
        if (isAndroidDebugBridge(interface)) return DeviceKind::androidChargingOnly();
    }
    if (isPhoneMaker(vendorID)) return DeviceKind::androidChargingOnly();
    return DeviceKind::other();
}

}  // namespace mtp
