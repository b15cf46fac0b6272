// The virtual bus as hosts see it, with plain libusb, sysfs and udev: descriptors and strings,
// discovery's classification, hot-plug events; and transfers, where the bus must behave as the
// kernel's: a phone that drops off leaves the bus, a claim ends with its process, a stalled
// endpoint stays halted until cleared, and an idle client sleeps.

#include <libudev.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "mtp/Container.h"
#include "mtp/MTPCodes.h"
#include "mtp/USBDiscovery.h"
#include "tests/common/TestSupport.h"
#include "tests/usb/USBTestSupport.h"

namespace {

using namespace usbtest;
using testsupport::eventually;
using namespace std::chrono_literals;
using usbbus::DeviceProfile;
using usbbus::Variant;
using usbbus::VirtualUSBBus;

struct Expected {
    Variant variant;
    uint8_t cls, subclass, proto;
    std::string interfaceName;  // empty: no interface string
    std::string kind;           // as discovery describes it
};

void PrintTo(const Expected& e, std::ostream* out) {
    *out << usbbus::variantName(e.variant);
}

class Enumeration : public testing::TestWithParam<Expected> {
  protected:
    void SetUp() override { requireMockEnvironment(); }
    VirtualUSBBus bus;
};

// libusb reads the descriptors, strings included, and discovery reads sysfs: both see the
// device each variant describes.
TEST_P(Enumeration, LibusbAndDiscoverySeeTheDeviceAsDescribed) {
    const Expected& want = GetParam();
    DeviceProfile profile;
    if (want.variant == Variant::keyboard) profile = DeviceProfile::keyboardProfile();
    profile.variant = want.variant;
    const usbbus::BusAddress address =
        bus.plug(1, profile, std::make_shared<phonesim::SimulatedPhone>());
    EXPECT_EQ(address.devNode(), "/dev/bus/usb/001/002");

    Libusb usb;
    libusb_device_handle* handle = usb.open(address);
    ASSERT_NE(handle, nullptr);
    libusb_device* device = libusb_get_device(handle);
    libusb_device_descriptor dd{};
    ASSERT_EQ(libusb_get_device_descriptor(device, &dd), 0);
    EXPECT_EQ(std::pair(dd.idVendor, dd.idProduct), std::pair(profile.vendorID, profile.productID));
    EXPECT_EQ(libusb_get_device_speed(device), LIBUSB_SPEED_HIGH);
    EXPECT_EQ(stringDescriptor(handle, dd.iManufacturer), profile.manufacturer);
    EXPECT_EQ(stringDescriptor(handle, dd.iProduct), profile.product);
    EXPECT_EQ(dd.iSerialNumber ? stringDescriptor(handle, dd.iSerialNumber) : "", profile.serial);

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(device, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor& id = config->interface[0].altsetting[0];
    EXPECT_EQ(std::tuple(id.bInterfaceClass, id.bInterfaceSubClass, id.bInterfaceProtocol),
              std::tuple(want.cls, want.subclass, want.proto));
    EXPECT_EQ(id.iInterface ? stringDescriptor(handle, id.iInterface) : "", want.interfaceName);
    libusb_free_config_descriptor(config);
    EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 0);

    const auto records = mtp::USBDiscovery().allDevices();
    auto record = std::ranges::find(records, profile.vendorID, &mtp::USBDeviceRecord::vendorID);
    ASSERT_NE(record, records.end());
    EXPECT_EQ(record->kind.description(), want.kind);
    EXPECT_EQ(record->name, profile.product);
    EXPECT_EQ(record->locationID, 0x01100000u);
    EXPECT_EQ(record->id, profile.serial.empty() ? "loc-01100000" : profile.serial);
    EXPECT_EQ(record->deviceAddress(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Enumeration,
    testing::Values(Expected{Variant::mtpClass, 6, 1, 1, "MTP", "mtp(0)"},
                    Expected{Variant::vendorMtp, 0xFF, 0xFF, 0, "MTP", "mtp(0)"},
                    Expected{Variant::chargingOnly, 0xFF, 0x42, 1, "ADB Interface",
                             "androidChargingOnly"},
                    Expected{Variant::keyboard, 3, 1, 1, "", "other"},
                    Expected{Variant::noInterruptEndpoint, 6, 1, 1, "MTP", "mtp(0)"},
                    Expected{Variant::twoBulkOut, 6, 1, 1, "MTP", "mtp(0)"}),
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

// Windows and libmtp ask for the Microsoft OS descriptor; a phone answers it, a keyboard not.
TEST_F(Bus, PhoneAnswersMicrosoftOsDescriptorsWithMtpCompatibleID) {
    Libusb usb;
    libusb_device_handle* handle = usb.open(bus.plug(1, DeviceProfile{}, phone));
    ASSERT_NE(handle, nullptr);
    unsigned char os[64] = {};
    ASSERT_EQ(libusb_get_string_descriptor(handle, 0xEE, 0, os, sizeof os), 18);
    EXPECT_EQ(std::string(os + 2, os + 16), std::string("M\0S\0F\0T\0001\0000\0000\0", 14));
    unsigned char compat[40] = {};
    ASSERT_EQ(libusb_control_transfer(handle, 0xC0, os[16], 0, 4, compat, sizeof compat, 1000), 40);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(compat) + 18, 3), "MTP");

    bus.unplug(1);
    Libusb usb2;
    libusb_device_handle* kb = usb2.open(bus.plug(1, DeviceProfile::keyboardProfile(), nullptr));
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
    udev* context = udev_new();
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    ASSERT_NE(monitor, nullptr);
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
    ASSERT_EQ(udev_monitor_enable_receiving(monitor), 0);

    bus.plug(1, DeviceProfile{}, phone);
    EXPECT_EQ(nextEvent(monitor, 2s), "add /dev/bus/usb/001/002");
    bus.unplug(1);
    EXPECT_EQ(nextEvent(monitor, 2s), "remove /dev/bus/usb/001/002");
    EXPECT_FALSE(std::filesystem::exists("/sys/bus/usb/devices/1-1"));

    DeviceProfile charging;
    charging.variant = Variant::chargingOnly;
    bus.plug(1, charging, phone);
    EXPECT_EQ(nextEvent(monitor, 2s), "add /dev/bus/usb/001/003");
    const auto switched = bus.replug(1, DeviceProfile{});
    EXPECT_EQ(switched.devnum, 4);
    EXPECT_EQ(nextEvent(monitor, 2s), "remove /dev/bus/usb/001/003");
    EXPECT_EQ(nextEvent(monitor, 2s), "add /dev/bus/usb/001/004");
    EXPECT_EQ(nextEvent(monitor, 200ms), "");  // interfaces are filtered out
    udev_monitor_unref(monitor);
    udev_unref(context);

    Libusb usb;  // libusb's own device list follows as well
    EXPECT_NE(usb.open(switched), nullptr);
    EXPECT_EQ(usb.find(3), nullptr);
}

constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02, kEvents = 0x83;
using Bytes = std::vector<uint8_t>;

class Transfers : public Bus {
  protected:
    // Plugs the phone made from `config` at port 1, opens it and claims interface 0.
    libusb_device_handle* start(phonesim::PhoneConfig config = {}) {
        phone = std::make_shared<phonesim::SimulatedPhone>(config);
        address = bus.plug(1, usbbus::profileFor(config), phone);
        usb = std::make_unique<Libusb>();
        libusb_device_handle* handle = usb->open(address);
        if (handle) {
            EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
        }
        return handle;
    }

    static int send(libusb_device_handle* handle, mtp::Op op, std::vector<uint32_t> params = {}) {
        auto command = mtp::buildCommand(op, 0, params);
        int sent = 0;
        return libusb_bulk_transfer(handle, kBulkOut, const_cast<uint8_t*>(command.bytes().data()),
                                    static_cast<int>(command.bytes().size()), &sent, 2000);
    }

    // One bulk IN transfer into `into` (resized to what arrived); the libusb result.
    static int receive(libusb_device_handle* handle, Bytes& into) {
        into.resize(64 * 1024);
        int got = 0;
        const int result = libusb_bulk_transfer(handle, kBulkIn, into.data(),
                                                static_cast<int>(into.size()), &got, 2000);
        into.resize(static_cast<size_t>(got));
        return result;
    }

    usbbus::BusAddress address;
    std::unique_ptr<Libusb> usb;
};

TEST_F(Transfers, PhoneThatDropsOffByItselfLeavesTheBus) {
    phonesim::PhoneConfig config;
    config.faults.unplugAfterBytes = 200;
    libusb_device_handle* handle = start(config);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(send(handle, mtp::Op::GetDeviceInfo), 0);
    Bytes in;
    int result = 0;
    for (int i = 0; i < 8 && result == 0; ++i) result = receive(handle, in);
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(eventually([&] { return !bus.address(1); }));
    EXPECT_EQ(send(handle, mtp::Op::GetDeviceInfo), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(std::filesystem::exists("/sys/bus/usb/devices/1-1"));
}

TEST_F(Transfers, StallsLastUntilClearedAndAClaimEndsWithItsProcess) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    phone->updateFaults([](phonesim::Faults& f) { f.stallOut = phonesim::FaultTrigger::next(); });
    EXPECT_EQ(send(handle, mtp::Op::OpenSession, {1}), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(send(handle, mtp::Op::OpenSession, {1}), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(handle, kBulkOut), 0);
    ASSERT_EQ(send(handle, mtp::Op::OpenSession, {1}), 0);
    Bytes reply;
    ASSERT_EQ(receive(handle, reply), 0);
    EXPECT_EQ(mtp::parseContainerHeader(reply).code, mtp::wire(mtp::Response::OK));

    usb = std::make_unique<Libusb>();  // closes the device
    const pid_t holder = bus.hold(1);  // would fail while this process still had it
    ::kill(holder, SIGKILL);           // no release: the process just dies
    handle = usb->open(address);
    ASSERT_NE(handle, nullptr);
    int claimed = LIBUSB_ERROR_BUSY;
    eventually([&] { return (claimed = libusb_claim_interface(handle, 0)) != LIBUSB_ERROR_BUSY; });
    EXPECT_EQ(claimed, 0);
    bus.release(1);  // reaps the dead holder
}

// A client with a transfer outstanding must sleep in poll(), not spin: the device node is
// writable only while a completed transfer waits to be reaped.
TEST_F(Transfers, IdleClientWithEventReadOutstandingUsesLittleCpu) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    std::atomic<int> status{-1};
    uint8_t buffer[64];
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_interrupt_transfer(
        transfer, handle, kEvents, buffer, sizeof buffer,
        [](libusb_transfer* done) {
            *static_cast<std::atomic<int>*>(done->user_data) = done->status;
        },
        &status, 0);
    ASSERT_EQ(libusb_submit_transfer(transfer), 0);
    const auto handleEventsFor = [&](std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (status < 0 && std::chrono::steady_clock::now() < deadline) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(usb->context(), &tv, nullptr);
        }
    };
    const std::clock_t before = std::clock();
    handleEventsFor(2s);  // nothing completes: all of it
    const double used = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
    EXPECT_LT(used, 0.4) << "CPU seconds in 2 s";

    libusb_cancel_transfer(transfer);
    handleEventsFor(1s);
    EXPECT_EQ(status, LIBUSB_TRANSFER_CANCELLED);
    libusb_free_transfer(transfer);
}

}  // namespace
