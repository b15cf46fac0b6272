// Discovery over fake sysfs trees laid out as the kernel does (device directories under
// /sys/devices, symlinks in /sys/bus/usb/devices, interfaces as children). The virtual bus's
// tests run it against umockdev's redirected /sys and /dev.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "mtp/USBDeviceRecord.h"
#include "mtp/USBDiscovery.h"
#include "tests/common/TestSupport.h"

namespace fs = std::filesystem;
using mtp::DeviceKind;
using mtp::USBDiscovery;

namespace mtp {
void PrintTo(const DeviceKind& kind, std::ostream* out) {
    *out << kind.description();
}
}  // namespace mtp

namespace {

using Attributes = std::map<std::string, std::string>;

// A temporary directory with a fake /sys, /proc and /dev; removed at the end of the test.
class FakeSystem {
  public:
    FakeSystem() {
        fs::create_directories(sys() / "bus/usb/devices");
        fs::create_directories(proc());
        fs::create_directories(dev());
    }
    fs::path sys() const { return root_.path() / "sys"; }
    fs::path proc() const { return root_.path() / "proc"; }
    fs::path dev() const { return root_.path() / "dev"; }
    USBDiscovery discovery() const { return USBDiscovery(sys(), proc(), dev()); }

    // A device entry "<bus>-<devpath>" with the given attributes; returns its bus path.
    fs::path addDevice(const std::string& name, const Attributes& attributes) {
        const auto real = sys() / "devices/pci0000:00/usb1" / name;
        fs::create_directories(real);
        for (const auto& [file, value] : attributes) write(real / file, value + "\n");
        const auto link = sys() / "bus/usb/devices" / name;
        fs::create_directory_symlink(fs::relative(real, link.parent_path()), link);
        return link;
    }

    // An interface entry "<device>:<config>.<number>"; the endpoint count, class and the like
    // are hex text as the kernel writes them.
    fs::path addInterface(const fs::path& device, const std::string& suffix,
                          const Attributes& attributes) {
        const auto name = device.filename().string() + ":" + suffix;
        const auto real = fs::canonical(device) / name;
        fs::create_directories(real);
        for (const auto& [file, value] : attributes) write(real / file, value + "\n");
        const auto link = sys() / "bus/usb/devices" / name;
        fs::create_directory_symlink(fs::relative(real, link.parent_path()), link);
        return link;
    }

    void bindDriver(const fs::path& interface, const std::string& driver) {
        fs::create_directory_symlink("../../../../bus/usb/drivers/" + driver,
                                     fs::canonical(interface) / "driver");
    }

    // A process with the given comm holding one descriptor that points at target.
    void addProcess(unsigned long pid, const std::string& comm, const fs::path& target) {
        const auto dir = proc() / std::to_string(pid);
        fs::create_directories(dir / "fd");
        write(dir / "comm", comm + "\n");
        fs::create_symlink("/dev/null", dir / "fd/0");
        fs::create_symlink(target, dir / "fd/7");
    }

    static void write(const fs::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }

  private:
    testsupport::TempDir root_{"usb-discovery"};
};

Attributes phone(const std::string& vendor, const std::string& devpath, const std::string& devnum,
                 const std::string& serial = "") {
    Attributes attributes{{"idVendor", vendor}, {"idProduct", "4ee1"}, {"busnum", "1"},
                          {"devnum", devnum},   {"devpath", devpath},  {"product", "Pixel 7"}};
    if (!serial.empty()) attributes["serial"] = serial;
    return attributes;
}

Attributes interface(const std::string& number, const std::string& cls, const std::string& sub,
                     const std::string& proto, const std::string& endpoints,
                     const std::string& name = "") {
    Attributes attributes{{"bInterfaceNumber", number},
                          {"bInterfaceClass", cls},
                          {"bInterfaceSubClass", sub},
                          {"bInterfaceProtocol", proto},
                          {"bNumEndpoints", endpoints}};
    if (!name.empty()) attributes["interface"] = name;
    return attributes;
}

DeviceKind kindOf(const FakeSystem& system, const fs::path& device) {
    return system.discovery().record(device).kind;
}

TEST(USBClassification, RulesApplyInOrder) {
    FakeSystem system;
    // Apple is never a phone, even with a perfect MTP interface.
    auto apple = system.addDevice("1-1", phone("05ac", "1", "2"));
    system.addInterface(apple, "1.0", interface("00", "06", "01", "01", "03"));
    EXPECT_EQ(kindOf(system, apple), DeviceKind::other());

    // Still image class with only two endpoints does not qualify.
    auto twoEndpoints = system.addDevice("1-2", phone("1234", "2", "3"));
    system.addInterface(twoEndpoints, "1.0", interface("00", "06", "01", "01", "02"));
    EXPECT_EQ(kindOf(system, twoEndpoints), DeviceKind::other());

    // The vendor-specific form needs the string exactly "MTP".
    auto lowerCase = system.addDevice("1-3", phone("1234", "3", "4"));
    system.addInterface(lowerCase, "1.0", interface("00", "ff", "ff", "00", "03", "mtp"));
    EXPECT_EQ(kindOf(system, lowerCase), DeviceKind::other());
    auto vendorMTP = system.addDevice("1-4", phone("1234", "4", "5"));
    system.addInterface(vendorMTP, "1.0", interface("00", "ff", "ff", "00", "03", "MTP"));
    EXPECT_EQ(kindOf(system, vendorMTP), DeviceKind::mtp(0));

    // The first MTP interface in interface order wins over debug bridges and later ones;
    // 1.2 comes before 1.10.
    auto composite = system.addDevice("1-5", phone("18d1", "5", "6"));
    system.addInterface(composite, "1.0", interface("00", "ff", "42", "01", "02"));
    system.addInterface(composite, "1.10", interface("0a", "06", "01", "01", "03"));
    system.addInterface(composite, "1.2", interface("02", "ff", "ff", "00", "03", "MTP"));
    EXPECT_EQ(kindOf(system, composite), DeviceKind::mtp(2));

    // Charging only with USB debugging: the debug bridge alone, whatever the vendor.
    auto debugOnly = system.addDevice("1-6", phone("1234", "6", "7"));
    system.addInterface(debugOnly, "1.0", interface("00", "ff", "42", "01", "02"));
    EXPECT_EQ(kindOf(system, debugOnly), DeviceKind::androidChargingOnly());
    auto debugOtherProtocol = system.addDevice("1-7", phone("1234", "7", "8"));
    system.addInterface(debugOtherProtocol, "1.0", interface("00", "ff", "42", "03", "02"));
    EXPECT_EQ(kindOf(system, debugOtherProtocol), DeviceKind::other());

    // A phone maker's device without any file transfer interface.
    auto xiaomi = system.addDevice("1-8", phone("2717", "8", "9"));
    system.addInterface(xiaomi, "1.0", interface("00", "06", "01", "01", "02"));
    EXPECT_EQ(kindOf(system, xiaomi), DeviceKind::androidChargingOnly());

    auto keyboard = system.addDevice("1-9", phone("046d", "9", "10"));
    system.addInterface(keyboard, "1.0", interface("00", "03", "01", "01", "01"));
    EXPECT_EQ(kindOf(system, keyboard), DeviceKind::other());
}

TEST(USBDiscovery, RecordFields) {
    FakeSystem system;
    auto serialPhone = system.addDevice("1-4.2", phone("18d1", "4.2", "5", "ABC123"));
    system.addInterface(serialPhone, "1.0", interface("00", "06", "01", "01", "03", "MTP"));
    auto record = system.discovery().record(serialPhone);
    EXPECT_EQ(record.id, "ABC123");
    EXPECT_EQ(record.serial, "ABC123");
    EXPECT_EQ(record.name, "Pixel 7");
    EXPECT_EQ(record.productID, 0x4EE1);
    EXPECT_EQ(record.locationID, 0x01420000u);
    EXPECT_EQ(record.kind, DeviceKind::mtp(0));

    // No serial, no product string: named by location and "Phone".
    auto bare = system.addDevice("3-1.4.2", {{"idVendor", "04e8"},
                                             {"idProduct", "6860"},
                                             {"busnum", "3"},
                                             {"devnum", "117"},
                                             {"devpath", "1.4.2"}});
    record = system.discovery().record(bare);
    EXPECT_EQ(record.locationID, 0x03142000u);
    EXPECT_EQ(record.id, "loc-03142000");
    EXPECT_EQ(record.serial, "");
    EXPECT_EQ(record.name, "Phone");
    EXPECT_EQ(record.deviceAddress(), 117);
}

TEST(USBDiscovery, AllDevicesSkipsInterfacesAndNonDevices) {
    FakeSystem system;
    EXPECT_TRUE(USBDiscovery(system.sys() / "missing").allDevices().empty());
    auto b = system.addDevice("1-2", phone("18d1", "2", "3", "B"));
    system.addInterface(b, "1.0", interface("00", "06", "01", "01", "03"));
    system.addDevice("1-1", phone("1234", "1", "2", "A"));
    fs::create_directories(system.sys() / "bus/usb/devices/usb9");  // no idVendor
    const auto devices = system.discovery().allDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].id, "A");
    EXPECT_EQ(devices[1].id, "B");
    EXPECT_EQ(devices[1].kind, DeviceKind::mtp(0));
}

TEST(USBDiscovery, MTPInterfaceServiceFollowsTheEnumeration) {
    FakeSystem system;
    auto device = system.addDevice("1-4", phone("18d1", "4", "9", "S1"));
    system.addInterface(device, "1.0", interface("00", "ff", "42", "01", "02"));
    auto mtpInterface = system.addInterface(device, "1.1", interface("01", "06", "01", "01", "03"));
    const auto discovery = system.discovery();
    const auto record = discovery.record(device);

    auto service = discovery.mtpInterfaceService(record);
    ASSERT_TRUE(service);
    EXPECT_EQ(service->info.number, 1);
    EXPECT_EQ(service->busNumber, 1);
    EXPECT_EQ(service->deviceAddress, 9);
    EXPECT_TRUE(fs::equivalent(service->sysfsPath, mtpInterface));

    auto notMTP = record;
    notMTP.kind = DeviceKind::androidChargingOnly();
    EXPECT_FALSE(discovery.mtpInterfaceService(notMTP));

    // The same phone enumerated again at the same address is a new sysfs node and a new
    // registry entry; the old record no longer finds it.
    const auto real = fs::canonical(device);
    const auto fresh = real.parent_path() / "fresh";
    fs::copy(real, fresh, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove_all(real);
    fs::rename(fresh, real);
    const auto again = discovery.record(device);
    EXPECT_EQ(again.id, record.id);
    EXPECT_EQ(again.deviceAddress(), record.deviceAddress());
    EXPECT_NE(again.registryID, record.registryID);
    EXPECT_FALSE(discovery.mtpInterfaceService(record));
    EXPECT_TRUE(discovery.mtpInterfaceService(again));
}

TEST(USBDiscovery, ExclusiveOwner) {
    FakeSystem system;
    auto device = system.addDevice("1-4", phone("18d1", "4", "12", "S1"));
    auto mtpInterface = system.addInterface(device, "1.0", interface("00", "06", "01", "01", "03"));
    const auto discovery = system.discovery();
    const auto record = discovery.record(device);

    EXPECT_EQ(discovery.exclusiveOwner(record), std::nullopt) << "no driver bound";

    system.bindDriver(mtpInterface, "usbfs");
    EXPECT_EQ(discovery.exclusiveOwner(record), std::nullopt) << "nobody has the node open";

    const auto node = system.dev() / "bus/usb/001/012";
    system.addProcess(::getpid(), "ourselves", node);
    EXPECT_EQ(discovery.exclusiveOwner(record), std::nullopt) << "only this process";

    system.addProcess(90, "gvfsd-mtp", node);
    system.addProcess(1500, "holder", node);
    system.addProcess(120, "bystander", system.dev() / "bus/usb/001/013");
    system.addProcess(7, "kthread", "/dev/null");
    // The highest pid wins, in numeric (not name) order: 1500 after 90 and 120.
    EXPECT_EQ(discovery.exclusiveOwner(record), "holder");

    // A test bed opens its node under another path; the same file still counts.
    const auto bed = system.proc().parent_path() / "bed/dev/bus/usb/001";
    fs::create_directories(bed);
    FakeSystem::write(bed / "012", "");
    fs::create_directories(node.parent_path());
    fs::create_hard_link(bed / "012", node);
    system.addProcess(99999, "umockdev-holder", bed / "012");
    EXPECT_EQ(discovery.exclusiveOwner(record), "umockdev-holder");

    fs::remove(fs::canonical(mtpInterface) / "driver");
    system.bindDriver(mtpInterface, "usb-storage");
    EXPECT_EQ(discovery.exclusiveOwner(record), "usb-storage");
}

}  // namespace
