// Discovery over fake sysfs trees laid out as the kernel does (device directories under
// /sys/devices, symlinks in /sys/bus/usb/devices, interfaces as children). The virtual bus's
// tests run it against umockdev's redirected /sys and /dev.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
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
        return addEntry(sys() / "devices/pci0000:00/usb1" / name, attributes);
    }

    // An interface entry "<device>:<config>.<number>" from "<config>.<number> <class> <subclass>
    // <protocol> <endpoints> [<name>]", in hex as the kernel writes them.
    fs::path addInterface(const fs::path& device, const std::string& layout) {
        std::istringstream in(layout);
        std::string suffix, cls, sub, proto, endpoints, name;
        in >> suffix >> cls >> sub >> proto >> endpoints >> name;
        std::string number = suffix.substr(suffix.find('.') + 1);
        Attributes attributes{{"bInterfaceNumber", number.size() == 1 ? "0" + number : number},
                              {"bInterfaceClass", cls},
                              {"bInterfaceSubClass", sub},
                              {"bInterfaceProtocol", proto},
                              {"bNumEndpoints", endpoints}};
        if (!name.empty()) attributes["interface"] = name;
        return addEntry(fs::canonical(device) / (device.filename().string() + ":" + suffix),
                        attributes);
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
    // The entry's directory at `real` and its link in /sys/bus/usb/devices.
    fs::path addEntry(const fs::path& real, const Attributes& attributes) {
        fs::create_directories(real);
        for (const auto& [file, value] : attributes) write(real / file, value + "\n");
        const auto link = sys() / "bus/usb/devices" / real.filename();
        fs::create_directory_symlink(fs::relative(real, link.parent_path()), link);
        return link;
    }

    testsupport::TempDir root_{"usb-discovery"};
};

Attributes phone(const std::string& vendor, const std::string& devpath, const std::string& devnum,
                 const std::string& serial = "") {
    Attributes attributes{{"idVendor", vendor}, {"idProduct", "4ee1"}, {"busnum", "1"},
                          {"devnum", devnum},   {"devpath", devpath},  {"product", "Pixel 7"}};
    if (!serial.empty()) attributes["serial"] = serial;
    return attributes;
}

DeviceKind classify(const std::string& vendor, const std::vector<std::string>& interfaces) {
    FakeSystem system;
    auto device = system.addDevice("1-1", phone(vendor, "1", "2"));
    for (const std::string& layout : interfaces) system.addInterface(device, layout);
    return system.discovery().record(device).kind;
}

TEST(USBClassification, RulesApplyInOrder) {
    struct Case {
        const char* what;
        std::string vendor;
        std::vector<std::string> interfaces;
        DeviceKind kind;
    };
    const Case cases[] = {
        {"still image class", "1234", {"1.0 06 01 01 03"}, DeviceKind::mtp(0)},
        {"Apple is never a phone", "05ac", {"1.0 06 01 01 03"}, DeviceKind::other()},
        {"two endpoints do not qualify", "1234", {"1.0 06 01 01 02"}, DeviceKind::other()},
        {"vendor class named MTP", "1234", {"1.0 ff ff 00 03 MTP"}, DeviceKind::mtp(0)},
        {"the name must be exactly MTP", "1234", {"1.0 ff ff 00 03 mtp"}, DeviceKind::other()},
        {"the first MTP interface in interface order; 1.2 before 1.10",
         "18d1",
         {"1.0 ff 42 01 02", "1.10 06 01 01 03", "1.2 ff ff 00 03 MTP"},
         DeviceKind::mtp(2)},
        {"the debug bridge alone", "1234", {"1.0 ff 42 01 02"}, DeviceKind::androidChargingOnly()},
        {"not the debug protocol", "1234", {"1.0 ff 42 03 02"}, DeviceKind::other()},
        {"a phone maker without file transfer",
         "2717",
         {"1.0 06 01 01 02"},
         DeviceKind::androidChargingOnly()},
        {"a keyboard", "046d", {"1.0 03 01 01 01"}, DeviceKind::other()},
    };
    for (const Case& c : cases) EXPECT_EQ(classify(c.vendor, c.interfaces), c.kind) << c.what;
}

// Devices only, in name order; without a serial or a product string a device is named by its
// location and "Phone" (the bus tests see the other fields).
TEST(USBDiscovery, AllDevicesSkipsInterfacesAndNonDevices) {
    FakeSystem system;
    EXPECT_TRUE(USBDiscovery(system.sys() / "missing").allDevices().empty());
    auto b = system.addDevice("1-2", phone("18d1", "2", "3", "B"));
    system.addInterface(b, "1.0 06 01 01 03");
    system.addDevice("1-1", phone("1234", "1", "2", "A"));
    system.addDevice(
        "3-1.4.2",
        {{"idVendor", "04e8"}, {"busnum", "3"}, {"devnum", "117"}, {"devpath", "1.4.2"}});
    fs::create_directories(system.sys() / "bus/usb/devices/usb9");  // no idVendor
    const auto devices = system.discovery().allDevices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].id, "A");
    EXPECT_EQ(devices[1].id, "B");
    EXPECT_EQ(devices[1].kind, DeviceKind::mtp(0));
    EXPECT_EQ(devices[2].locationID, 0x03142000u);
    EXPECT_EQ(devices[2].id, "loc-03142000");
    EXPECT_EQ(devices[2].name, "Phone");
    EXPECT_EQ(devices[2].deviceAddress(), 117);
}

// The same phone enumerated again at the same address is a new sysfs node, so a new registry
// entry: the old record no longer finds it.
TEST(USBDiscovery, AReEnumerationIsANewDeviceWhoseOwnerIsTheHighestPid) {
    FakeSystem system;
    auto device = system.addDevice("1-4", phone("18d1", "4", "12", "S1"));
    auto mtpInterface = system.addInterface(device, "1.0 06 01 01 03");
    const auto discovery = system.discovery();
    const auto old = discovery.record(device);
    ASSERT_TRUE(discovery.mtpInterfaceService(old));
    const auto real = fs::canonical(device);
    fs::copy(real, real.parent_path() / "fresh",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove_all(real);
    fs::rename(real.parent_path() / "fresh", real);
    const auto record = discovery.record(device);
    EXPECT_NE(record.registryID, old.registryID);
    EXPECT_FALSE(discovery.mtpInterfaceService(old));
    EXPECT_TRUE(discovery.mtpInterfaceService(record));

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

    fs::remove(fs::canonical(mtpInterface) / "driver");
    system.bindDriver(mtpInterface, "usb-storage");
    EXPECT_EQ(discovery.exclusiveOwner(record), "usb-storage");
}

}  // namespace
