#pragma once
// What a simulated USB device looks like from the host: its descriptors, string descriptors and
// the sysfs entries the kernel would publish for it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace usbbus {

using Bytes = std::vector<uint8_t>;

// The interface layouts the bus can present.
enum class Variant {
    mtpClass,      // interface 0: still-image class 6/1/1 named "MTP"; bulk IN, bulk OUT, intr IN
    vendorMtp,     // interface 0: vendor-specific 0xFF/0xFF/0 named "MTP"; same endpoints
    chargingOnly,  // only the Android debug interface 0xFF/0x42/1 (bulk IN, bulk OUT); no MTP
    keyboard,      // a HID boot keyboard (3/1/1, one interrupt IN endpoint); no phone behind it
    // Class 6/1 with bulk IN, bulk OUT and an isochronous IN endpoint, so that discovery (which
    // wants more than two endpoints) still takes it for MTP while it has no interrupt endpoint.
    noInterruptEndpoint,
    // Class 6/1 with bulk IN, a decoy bulk OUT (0x01, 64-byte packets, stalls every transfer),
    // the real bulk OUT (0x02) and interrupt IN: a host must use the later OUT endpoint.
    twoBulkOut,
};

// "mtp", "vendor-mtp", "charging-only", "keyboard", "no-interrupt", "two-bulk-out".
std::string variantName(Variant variant);
std::optional<Variant> variantFromName(const std::string& name);

struct DeviceProfile {
    Variant variant = Variant::mtpClass;
    uint16_t vendorID = 0x18D1;
    uint16_t productID = 0x4EE1;
    std::string manufacturer = "Brisvale";
    std::string product = "Simulated Phone";
    std::string serial = "SIM0001";  // empty: the device has no serial number at all
    uint16_t maxPacketSize = 512;    // of the bulk endpoints that reach the phone

    // A HID keyboard of another vendor, for "not a phone" cases.
    static DeviceProfile keyboardProfile();

    bool operator==(const DeviceProfile&) const = default;
};

struct EndpointInfo {
    uint8_t address = 0;     // bit 0x80: IN
    uint8_t attributes = 0;  // transfer type in the low two bits (1 iso, 2 bulk, 3 interrupt)
    uint16_t maxPacketSize = 0;
    // Transfers on this endpoint reach the phone. Others stay pending (IN) or stall (OUT).
    bool toPhone = false;
    bool operator==(const EndpointInfo&) const = default;
};

struct InterfaceLayout {
    uint8_t cls = 0, subclass = 0, proto = 0;
    std::string name;  // interface string; empty: none
    std::vector<EndpointInfo> endpoints;
    bool operator==(const InterfaceLayout&) const = default;
};

// The one interface (number 0) of the device's one configuration.
InterfaceLayout interfaceLayout(const DeviceProfile& profile);

// Whether the variant's endpoints are answered by a simulated phone.
bool reachesPhone(Variant variant);

// Standard descriptors, little-endian as on the wire.
Bytes deviceDescriptor(const DeviceProfile& profile);
Bytes configurationDescriptor(const DeviceProfile& profile);  // with interface and endpoints
// String descriptor `index` (0: language IDs; 1 manufacturer, 2 product, 3 serial, 4 interface;
// 0xEE the Microsoft OS string on phones). None: the device has no such string (a stall).
std::optional<Bytes> stringDescriptor(const DeviceProfile& profile, uint8_t index);
// The vendor request code announced in the Microsoft OS string and the extended compat ID
// descriptor it returns (wIndex 4): function 0 is "MTP".
inline constexpr uint8_t msVendorCode = 0x01;
std::optional<Bytes> msCompatIDDescriptor(const DeviceProfile& profile);

// Where a device sits on bus 1 of the test bed. `port` is the root hub port (1-based).
struct BusAddress {
    int busnum = 1;
    int devnum = 2;
    int port = 1;
    std::string devNode() const;           // /dev/bus/usb/001/002
    std::string sysPath() const;           // /sys/devices/.../usb1/1-1
    std::string interfaceSysPath() const;  // .../1-1/1-1:1.0
    bool operator==(const BusAddress&) const = default;
};

// Test-bed record (umockdev's text format) of the bus's root hub and its PCI controller.
std::string rootHubRecord();
// Test-bed record of the device and its interface at `address`. It names the device node
// (DEVNAME) but does not create it.
std::string deviceRecord(const DeviceProfile& profile, const BusAddress& address);

}  // namespace usbbus
