#include "tools/usbbus/USBDescriptors.h"

#include <array>
#include <cstdio>
#include <sstream>

namespace usbbus {

namespace {

constexpr uint8_t kIso = 1, kBulk = 2, kInterrupt = 3;
constexpr uint16_t kBcdDevice = 0x0440;
const char* const kControllerPath = "/devices/pci0000:00/0000:00:14.0";

void put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::string format(const char* pattern, auto... args) {
    std::array<char, 256> text{};
    std::snprintf(text.data(), text.size(), pattern, args...);
    return text.data();
}

std::string hex(const Bytes& bytes) {
    std::string out;
    for (uint8_t b : bytes) out += format("%02X", b);
    return out;
}

// Strings are ASCII here; UTF-16LE is then one zero byte per character.
Bytes utf16Descriptor(const std::string& text) {
    Bytes out{0, 3};
    for (char c : text.substr(0, 126)) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    out[0] = static_cast<uint8_t>(out.size());
    return out;
}

// Every sysfs attribute the kernel writes ends with a newline; libusb warns otherwise.
class Record {
  public:
    void line(const std::string& text) { text_ << text << '\n'; }
    void attribute(const std::string& name, const std::string& value) {
        text_ << "A: " << name << '=' << value << "\\n\n";
    }
    std::string str() const { return text_.str(); }

  private:
    std::ostringstream text_;
};

}  // namespace

std::string variantName(Variant variant) {
    switch (variant) {
        case Variant::mtpClass:
            return "mtp";
        case Variant::vendorMtp:
            return "vendor-mtp";
        case Variant::chargingOnly:
            return "charging-only";
        case Variant::keyboard:
            return "keyboard";
        case Variant::noInterruptEndpoint:
            return "no-interrupt";
        case Variant::twoBulkOut:
            return "two-bulk-out";
    }
    return "mtp";
}

std::optional<Variant> variantFromName(const std::string& name) {
    for (Variant v : {Variant::mtpClass, Variant::vendorMtp, Variant::chargingOnly,
                      Variant::keyboard, Variant::noInterruptEndpoint, Variant::twoBulkOut}) {
        if (variantName(v) == name) return v;
    }
    return std::nullopt;
}

DeviceProfile DeviceProfile::keyboardProfile() {
    DeviceProfile profile;
    profile.variant = Variant::keyboard;
    profile.vendorID = 0x046D;
    profile.productID = 0xC31C;
    profile.manufacturer = "Logitech";
    profile.product = "USB Keyboard";
    profile.serial.clear();
    profile.maxPacketSize = 8;
    return profile;
}

bool reachesPhone(Variant variant) {
    return variant != Variant::chargingOnly && variant != Variant::keyboard;
}

InterfaceLayout interfaceLayout(const DeviceProfile& profile) {
    const uint16_t mps = profile.maxPacketSize;
    const EndpointInfo bulkIn{0x81, kBulk, mps, true};
    const EndpointInfo bulkOut{0x02, kBulk, mps, true};
    const EndpointInfo events{0x83, kInterrupt, 28, true};
    switch (profile.variant) {
        case Variant::mtpClass:
            return {6, 1, 1, "MTP", {bulkIn, bulkOut, events}};
        case Variant::vendorMtp:
            return {0xFF, 0xFF, 0, "MTP", {bulkIn, bulkOut, events}};
        case Variant::chargingOnly:
            return {0xFF, 0x42, 1, "ADB Interface", {{0x81, kBulk, mps}, {0x01, kBulk, mps}}};
        case Variant::keyboard:
            return {3, 1, 1, "", {{0x81, kInterrupt, 8}}};
        case Variant::noInterruptEndpoint:
            return {6, 1, 1, "MTP", {bulkIn, bulkOut, {0x84, kIso, 64}}};
        case Variant::twoBulkOut:
            return {6, 1, 1, "MTP", {bulkIn, {0x01, kBulk, 64}, bulkOut, events}};
    }
    return {};
}

Bytes deviceDescriptor(const DeviceProfile& profile) {
    Bytes d{18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, profile.vendorID);
    put16(d, profile.productID);
    put16(d, kBcdDevice);
    d.insert(d.end(), {1, 2, static_cast<uint8_t>(profile.serial.empty() ? 0 : 3), 1});
    return d;
}

Bytes configurationDescriptor(const DeviceProfile& profile) {
    const InterfaceLayout layout = interfaceLayout(profile);
    Bytes d{9, 2, 0, 0, 1, 1, 0, 0x80, 0xFA};
    d.insert(d.end(),
             {9, 4, 0, 0, static_cast<uint8_t>(layout.endpoints.size()), layout.cls,
              layout.subclass, layout.proto, static_cast<uint8_t>(layout.name.empty() ? 0 : 4)});
    for (const EndpointInfo& ep : layout.endpoints) {
        d.insert(d.end(), {7, 5, ep.address, ep.attributes});
        put16(d, ep.maxPacketSize);
        d.push_back(ep.attributes == kBulk ? 0 : 6);
    }
    d[2] = static_cast<uint8_t>(d.size());
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

std::optional<Bytes> stringDescriptor(const DeviceProfile& profile, uint8_t index) {
    switch (index) {
        case 0:
            return Bytes{4, 3, 0x09, 0x04};
        case 1:
            return utf16Descriptor(profile.manufacturer);
        case 2:
            return utf16Descriptor(profile.product);
        case 3:
            if (profile.serial.empty()) return std::nullopt;
            return utf16Descriptor(profile.serial);
        case 4: {
            const std::string name = interfaceLayout(profile).name;
            if (name.empty()) return std::nullopt;
            return utf16Descriptor(name);
        }
        case 0xEE: {
            if (!reachesPhone(profile.variant)) return std::nullopt;
            Bytes d = utf16Descriptor("MSFT100");
            d.push_back(msVendorCode);
            d.push_back(0);
            d[0] = static_cast<uint8_t>(d.size());
            return d;
        }
        default:
            return std::nullopt;
    }
}

std::optional<Bytes> msCompatIDDescriptor(const DeviceProfile& profile) {
    if (!reachesPhone(profile.variant)) return std::nullopt;
    Bytes d{40, 0, 0, 0, 0x00, 0x01, 0x04, 0x00, 1, 0, 0, 0, 0, 0, 0, 0};
    d.insert(d.end(), {0, 1, 'M', 'T', 'P', 0, 0, 0, 0, 0});
    d.insert(d.end(), 14, 0);
    return d;
}

std::string BusAddress::devNode() const {
    return format("/dev/bus/usb/%03d/%03d", busnum, devnum);
}

std::string BusAddress::sysPath() const {
    return format("/sys%s/usb%d/%d-%d", kControllerPath, busnum, busnum, port);
}

std::string BusAddress::interfaceSysPath() const {
    return sysPath() + format("/%d-%d:1.0", busnum, port);
}

std::string rootHubRecord() {
    const Bytes hub{0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6B, 0x1D, 0x02,
                    0x00, 0x06, 0x02, 0x03, 0x02, 0x01, 0x01, 0x09, 0x02, 0x19, 0x00,
                    0x01, 0x01, 0x00, 0xE0, 0x00, 0x09, 0x04, 0x00, 0x00, 0x01, 0x09,
                    0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0C};
    Record r;
    r.line(std::string("P: ") + kControllerPath);
    r.line("E: SUBSYSTEM=pci");
    r.line("E: DRIVER=xhci_hcd");
    r.line("");
    r.line(std::string("P: ") + kControllerPath + "/usb1");
    r.line("N: bus/usb/001/001");
    for (const char* property : {"BUSNUM=001", "DEVNUM=001", "DEVNAME=/dev/bus/usb/001/001",
                                 "DEVTYPE=usb_device", "DRIVER=usb", "MAJOR=189", "MINOR=0",
                                 "PRODUCT=1d6b/2/602", "SUBSYSTEM=usb", "TYPE=9/0/1"}) {
        r.line(std::string("E: ") + property);
    }
    for (auto [name, value] : {std::pair{"busnum", "1"},
                               {"devnum", "1"},
                               {"devpath", "0"},
                               {"dev", "189:0"},
                               {"idVendor", "1d6b"},
                               {"idProduct", "0002"},
                               {"product", "xHCI Host Controller"},
                               {"speed", "480"},
                               {"bConfigurationValue", "1"},
                               {"bDeviceClass", "09"},
                               {"bNumConfigurations", "1"},
                               {"bNumInterfaces", " 1"},
                               {"version", " 2.00"},
                               {"maxchild", "4"}}) {
        r.attribute(name, value);
    }
    r.line("H: descriptors=" + hex(hub));
    r.line("");
    return r.str();
}

std::string deviceRecord(const DeviceProfile& profile, const BusAddress& address) {
    const InterfaceLayout layout = interfaceLayout(profile);
    Bytes descriptors = deviceDescriptor(profile);
    const Bytes config = configurationDescriptor(profile);
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    const std::string devPath = address.sysPath().substr(4);  // without "/sys"
    const int minor = (address.busnum - 1) * 128 + address.devnum - 1;
    const std::string product =
        format("%x/%x/%x", profile.vendorID, profile.productID, static_cast<unsigned>(kBcdDevice));
    const std::string type = format("%d/%d/%d", layout.cls, layout.subclass, layout.proto);
    const bool phone = reachesPhone(profile.variant);

    Record r;
    // No "N:" line: the bus makes the node itself (a FIFO) before the device appears.
    r.line("P: " + devPath);
    r.line(format("E: BUSNUM=%03d", address.busnum));
    r.line(format("E: DEVNUM=%03d", address.devnum));
    r.line("E: DEVNAME=" + address.devNode());
    r.line("E: DEVTYPE=usb_device");
    r.line("E: DRIVER=usb");
    r.line("E: MAJOR=189");
    r.line(format("E: MINOR=%d", minor));
    r.line("E: PRODUCT=" + product);
    r.line("E: SUBSYSTEM=usb");
    r.line("E: TYPE=0/0/0");
    r.line(format("E: ID_VENDOR_ID=%04x", profile.vendorID));
    r.line(format("E: ID_MODEL_ID=%04x", profile.productID));
    if (!profile.serial.empty()) r.line("E: ID_SERIAL_SHORT=" + profile.serial);
    if (phone) r.line("E: ID_MTP_DEVICE=1");
    r.attribute("authorized", "1");
    r.attribute("bConfigurationValue", "1");
    r.attribute("bDeviceClass", "00");
    r.attribute("bDeviceProtocol", "00");
    r.attribute("bDeviceSubClass", "00");
    r.attribute("bMaxPacketSize0", "64");
    r.attribute("bMaxPower", "500mA");
    r.attribute("bNumConfigurations", "1");
    r.attribute("bNumInterfaces", " 1");
    r.attribute("bcdDevice", format("%04x", static_cast<unsigned>(kBcdDevice)));
    r.attribute("bmAttributes", "80");
    r.attribute("busnum", std::to_string(address.busnum));
    r.attribute("devnum", std::to_string(address.devnum));
    r.attribute("devpath", std::to_string(address.port));
    r.attribute("dev", format("189:%d", minor));
    r.attribute("idVendor", format("%04x", profile.vendorID));
    r.attribute("idProduct", format("%04x", profile.productID));
    r.attribute("manufacturer", profile.manufacturer);
    r.attribute("product", profile.product);
    if (!profile.serial.empty()) r.attribute("serial", profile.serial);
    r.attribute("speed", "480");
    r.attribute("version", " 2.00");
    r.attribute("maxchild", "0");
    r.attribute("removable", "removable");
    r.line("H: descriptors=" + hex(descriptors));
    r.line("");

    r.line("P: " + address.interfaceSysPath().substr(4));
    r.line("E: DEVTYPE=usb_interface");
    r.line("E: SUBSYSTEM=usb");
    r.line("E: INTERFACE=" + type);
    r.line("E: PRODUCT=" + product);
    r.line("E: TYPE=0/0/0");
    r.attribute("authorized", "1");
    r.attribute("bAlternateSetting", " 0");
    r.attribute("bInterfaceClass", format("%02x", layout.cls));
    r.attribute("bInterfaceNumber", "00");
    r.attribute("bInterfaceProtocol", format("%02x", layout.proto));
    r.attribute("bInterfaceSubClass", format("%02x", layout.subclass));
    r.attribute("bNumEndpoints", format("%02x", static_cast<unsigned>(layout.endpoints.size())));
    if (!layout.name.empty()) r.attribute("interface", layout.name);
    r.attribute("supports_autosuspend", "1");
    r.line("");
    return r.str();
}

}  // namespace usbbus
