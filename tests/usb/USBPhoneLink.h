#pragma once
// The simulated phone reached over libusb: plugged into this process's virtual USB bus, found
// by sysfs discovery, opened by USBTransport. The process must run under umockdev-wrapper.

#include <memory>
#include <stdexcept>
#include <utility>

#include "mtp/MTPError.h"
#include "mtp/USBDiscovery.h"
#include "mtp/USBTransport.h"
#include "tests/common/PhoneTransportTest.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace usbtest {

// The bus of this process: one test bed for the whole run, created on first use.
inline usbbus::VirtualUSBBus& processBus() {
    static usbbus::VirtualUSBBus bus;
    // Asked after the test bed exists: umockdev answers (once, for good) whether /sys is
    // redirected, which only happens once the test bed has set UMOCKDEV_DIR.
    if (!usbbus::VirtualUSBBus::inMockEnvironment()) {
        throw std::runtime_error("run this test under umockdev-wrapper");
    }
    return bus;
}

// The record discovery gives for the device at `port`; throws when there is none.
inline mtp::USBDeviceRecord recordAt(int port) {
    auto address = processBus().address(port);
    if (!address) throw std::runtime_error("nothing plugged at port " + std::to_string(port));
    for (const auto& record : mtp::USBDiscovery().allDevices()) {
        if (record.busNumber() == address->busnum && record.deviceAddress() == address->devnum) {
            return record;
        }
    }
    throw std::runtime_error("discovery does not list the device at port " + std::to_string(port));
}

class USBPhoneLink : public phonetest::PhoneLink {
  public:
    static constexpr int port = 1;

    USBPhoneLink(std::shared_ptr<phonesim::SimulatedPhone> phone,
                 usbbus::Variant variant = usbbus::Variant::mtpClass) {
        auto& bus = processBus();
        bus.unplug(port);  // whatever an earlier test left behind
        usbbus::DeviceProfile profile;
        profile.variant = variant;
        profile.maxPacketSize = static_cast<uint16_t>(phone->maxPacketSize());
        bus.plug(port, profile, std::move(phone));
    }
    ~USBPhoneLink() override { processBus().unplug(port); }

    std::unique_ptr<mtp::BulkTransport> connect(phonetest::LinkOptions options) override {
        return mtp::USBTransport::create(recordAt(port), limits(options));
    }

    static mtp::USBTransportLimits limits(phonetest::LinkOptions options) {
        mtp::USBTransportLimits limits;
        limits.read = options.readTimeout;
        return limits;
    }
};

inline phonetest::TransportKind overLibusb() {
    return {"Libusb", [](std::shared_ptr<phonesim::SimulatedPhone> phone) {
                return std::make_unique<USBPhoneLink>(std::move(phone));
            }};
}

}  // namespace usbtest
