// What hosts see of the virtual bus's devices: libusb descriptors and strings, sysfs entries,
// discovery's classification, and hot-plug events on a udev monitor.

#include <libudev.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mtp/USBDiscovery.h"
#include "tests/usb/USBTestSupport.h"

namespace {

using namespace usbtest;
using usbbus::DeviceProfile;
using usbbus::Variant;
using usbbus::VirtualUSBBus;

struct Endpoint {
    uint8_t address;
    uint8_t type;  // LIBUSB_TRANSFER_TYPE_*
    uint16_t maxPacket;
    bool operator==(const Endpoint&) const = default;
};

struct Expected {
    Variant variant;
    uint8_t cls, subclass, proto;
    std::string interfaceName;  // empty: no interface string
    std::vector<Endpoint> endpoints;
    std::string kind;  // as discovery describes it
};

void PrintTo(const Expected& e, std::ostream* out) {
    *out << usbbus::variantName(e.variant);
}

DeviceProfile profileOf(Variant variant) {
    if (variant == Variant::keyboard) return DeviceProfile::keyboardProfile();
    DeviceProfile profile;
    profile.variant = variant;
    profile.serial = "ENUM42";
    profile.product = "Pixel Sim";
    profile.manufacturer = "Brisvale Labs";
    return profile;
}

class Enumeration : public testing::TestWithParam<Expected> {
  protected:
    void SetUp() override { requireMockEnvironment(); }
    VirtualUSBBus bus;
};

TEST_P(Enumeration, LibusbSysfsAndDiscoverySeeTheDeviceAsDescribed) {
    const Expected& want = GetParam();
    const DeviceProfile profile = profileOf(want.variant);
    auto phone = std::make_shared<phonesim::SimulatedPhone>();
    const usbbus::BusAddress address = bus.plug(1, profile, phone);
    EXPECT_EQ(address.devNode(), "/dev/bus/usb/001/002");

    Libusb usb;
    libusb_device* device = usb.find(address.devnum);
    ASSERT_NE(device, nullptr);
    libusb_device_descriptor dd{};
    ASSERT_EQ(libusb_get_device_descriptor(device, &dd), 0);
    EXPECT_EQ(dd.idVendor, profile.vendorID);
    EXPECT_EQ(dd.idProduct, profile.productID);
    EXPECT_EQ(dd.bcdUSB, 0x0200);
    EXPECT_EQ(dd.bNumConfigurations, 1);
    EXPECT_EQ(dd.iSerialNumber != 0, !profile.serial.empty());
    EXPECT_EQ(libusb_get_device_speed(device), LIBUSB_SPEED_HIGH);
    EXPECT_EQ(libusb_get_port_number(device), 1);

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(device, 0, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor& id = config->interface[0].altsetting[0];
    EXPECT_EQ(id.bInterfaceClass, want.cls);
    EXPECT_EQ(id.bInterfaceSubClass, want.subclass);
    EXPECT_EQ(id.bInterfaceProtocol, want.proto);
    std::vector<Endpoint> endpoints;
    for (int i = 0; i < id.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& ep = id.endpoint[i];
        endpoints.push_back(
            {ep.bEndpointAddress, static_cast<uint8_t>(ep.bmAttributes & 3), ep.wMaxPacketSize});
    }
    EXPECT_EQ(endpoints, want.endpoints);
    const uint8_t interfaceString = id.iInterface;
    libusb_free_config_descriptor(config);
    libusb_unref_device(device);

    libusb_device_handle* handle = usb.open(address);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(stringDescriptor(handle, dd.iManufacturer), profile.manufacturer);
    EXPECT_EQ(stringDescriptor(handle, dd.iProduct), profile.product);
    if (dd.iSerialNumber) {
        EXPECT_EQ(stringDescriptor(handle, dd.iSerialNumber), profile.serial);
    }
    EXPECT_EQ(interfaceString != 0, !want.interfaceName.empty());
    if (interfaceString) {
        EXPECT_EQ(stringDescriptor(handle, interfaceString), want.interfaceName);
    }
    EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 0);

    // Discovery reads sysfs as the kernel writes it.
    mtp::USBDiscovery discovery;
    const auto records = discovery.allDevices();
    auto record = std::ranges::find_if(records, [&](const mtp::USBDeviceRecord& r) {
        return r.vendorID == profile.vendorID && r.productID == profile.productID;
    });
    ASSERT_NE(record, records.end());
    EXPECT_EQ(record->kind.description(), want.kind);
    EXPECT_EQ(record->name, profile.product);
    EXPECT_EQ(record->locationID, 0x01100000u);
    EXPECT_EQ(record->id, profile.serial.empty() ? "loc-01100000" : profile.serial);
    EXPECT_EQ(record->deviceAddress(), 2);
}

constexpr uint8_t kBulk = LIBUSB_TRANSFER_TYPE_BULK, kIntr = LIBUSB_TRANSFER_TYPE_INTERRUPT,
                  kIso = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
const std::vector<Endpoint> mtp = {{0x81, kBulk, 512}, {0x02, kBulk, 512}, {0x83, kIntr, 28}},
                            adb = {{0x81, kBulk, 512}, {0x01, kBulk, 512}},
                            key = {{0x81, kIntr, 8}},
                            iso = {{0x81, kBulk, 512}, {0x02, kBulk, 512}, {0x84, kIso, 64}},
                            twoOut = {{0x81, kBulk, 512},
                                      {0x01, kBulk, 64},
                                      {0x02, kBulk, 512},
                                      {0x83, kIntr, 28}};

INSTANTIATE_TEST_SUITE_P(
    Variants, Enumeration,
    testing::Values(Expected{Variant::mtpClass, 6, 1, 1, "MTP", mtp, "mtp(0)"},
                    Expected{Variant::vendorMtp, 0xFF, 0xFF, 0, "MTP", mtp, "mtp(0)"},
                    Expected{Variant::chargingOnly, 0xFF, 0x42, 1, "ADB Interface", adb,
                             "androidChargingOnly"},
                    Expected{Variant::keyboard, 3, 1, 1, "", key, "other"},
                    Expected{Variant::noInterruptEndpoint, 6, 1, 1, "MTP", iso, "mtp(0)"},
                    Expected{Variant::twoBulkOut, 6, 1, 1, "MTP", twoOut, "mtp(0)"}),
    [](const auto& info) {
        std::string name = usbbus::variantName(info.param.variant);
        std::erase(name, '-');
        return name;
    });

class Bus : public testing::Test {
  protected:
    void SetUp() override { requireMockEnvironment(); }
    VirtualUSBBus bus;
    std::shared_ptr<phonesim::SimulatedPhone> phone = std::make_shared<phonesim::SimulatedPhone>();
};

TEST_F(Bus, PhoneAnswersMicrosoftOsDescriptorsWithMtpCompatibleID) {
    const auto address = bus.plug(1, DeviceProfile{}, phone);
    Libusb usb;
    libusb_device_handle* handle = usb.open(address);
    ASSERT_NE(handle, nullptr);
    unsigned char os[64] = {};
    const int n = libusb_get_string_descriptor(handle, 0xEE, 0, os, sizeof os);
    ASSERT_EQ(n, 18);
    EXPECT_EQ(std::string(os + 2, os + 16), std::string("M\0S\0F\0T\0001\0000\0000\0", 14));
    unsigned char compat[40] = {};
    ASSERT_EQ(libusb_control_transfer(handle, 0xC0, os[16], 0, 4, compat, sizeof compat, 1000), 40);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(compat) + 18, 3), "MTP");

    // A keyboard has none.
    bus.unplug(1);
    const auto keyboard = bus.plug(1, DeviceProfile::keyboardProfile(), nullptr);
    Libusb usb2;
    libusb_device_handle* kb = usb2.open(keyboard);
    ASSERT_NE(kb, nullptr);
    EXPECT_EQ(libusb_get_string_descriptor(kb, 0xEE, 0, os, sizeof os), LIBUSB_ERROR_PIPE);
}

// One event from the monitor within `timeout`, as "action devnode"; empty on time-out.
std::string nextEvent(udev_monitor* monitor, std::chrono::milliseconds timeout) {
    pollfd p{udev_monitor_get_fd(monitor), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
    udev_device* device = udev_monitor_receive_device(monitor);
    if (!device) return "<unreadable>";
    const char* action = udev_device_get_action(device);
    const char* node = udev_device_get_devnode(device);
    std::string text = std::string(action ? action : "?") + " " + (node ? node : "-");
    udev_device_unref(device);
    return text;
}

TEST_F(Bus, HotPlugIsSeenByUdevMonitorAndReEnumerationGetsANewAddress) {
    ASSERT_TRUE(VirtualUSBBus::inMockEnvironment());
    udev* context = udev_new();
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    ASSERT_NE(monitor, nullptr);
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
    ASSERT_EQ(udev_monitor_enable_receiving(monitor), 0);
    using std::chrono::milliseconds;

    bus.plug(1, DeviceProfile{}, phone);
    EXPECT_EQ(nextEvent(monitor, milliseconds(2000)), "add /dev/bus/usb/001/002");
    bus.unplug(1);
    EXPECT_EQ(nextEvent(monitor, milliseconds(2000)), "remove /dev/bus/usb/001/002");
    EXPECT_FALSE(std::filesystem::exists("/sys/bus/usb/devices/1-1"));

    DeviceProfile charging;
    charging.variant = Variant::chargingOnly;
    bus.plug(1, charging, phone);
    EXPECT_EQ(nextEvent(monitor, milliseconds(2000)), "add /dev/bus/usb/001/003");
    const auto switched = bus.replug(1, DeviceProfile{});
    EXPECT_EQ(switched.devnum, 4);
    EXPECT_EQ(nextEvent(monitor, milliseconds(2000)), "remove /dev/bus/usb/001/003");
    EXPECT_EQ(nextEvent(monitor, milliseconds(2000)), "add /dev/bus/usb/001/004");
    EXPECT_EQ(nextEvent(monitor, milliseconds(200)), "");  // interfaces are filtered out
    udev_monitor_unref(monitor);
    udev_unref(context);

    // libusb's own device list follows as well.
    Libusb usb;
    EXPECT_TRUE(usb.lists(4));
    EXPECT_FALSE(usb.lists(3));
}

TEST_F(Bus, PlugRefusesTakenAndMissingPorts) {
    bus.plug(1, DeviceProfile{}, phone);
    EXPECT_THROW(bus.plug(1, DeviceProfile{}, phone), std::runtime_error);
    EXPECT_THROW(bus.plug(5, DeviceProfile{}, phone), std::runtime_error);
    EXPECT_THROW(bus.hold(3), std::runtime_error);
    bus.unplug(3);  // an empty port: nothing happens
    EXPECT_TRUE(bus.address(1).has_value());
}

}  // namespace
