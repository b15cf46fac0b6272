// The device monitor on the virtual bus with udev's real events and an injected clock.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/services/DeviceMonitor.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/BusPhone.h"

namespace {

using namespace brisvale;
using namespace apptest;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

std::vector<std::string> ids(const std::vector<mtp::USBDeviceRecord>& records) {
    std::vector<std::string> all;
    for (const auto& record : records)
        if (record.kind.isMTP()) all.push_back(record.id);
    return all;
}

TEST(DeviceMonitor, SnapshotsAfterEachBurst) {
    application();
    BusPhone phone;
    phone.plug(1);
    ManualClock clock;
    std::vector<std::vector<std::string>> snapshots;
    DeviceMonitor monitor([&](auto records) { snapshots.push_back(ids(records)); }, clock);
    monitor.start();
    ASSERT_THAT(snapshots, ElementsAre(ElementsAre("SIM0001")));  // before start returned

    // A burst: a second phone, unplugged and plugged again at once.
    phone.plug(2, usbbus::Variant::mtpClass, "SIM0002");
    phone.bus->unplug(2);
    phone.plug(2, usbbus::Variant::mtpClass, "SIM0002");
    ASSERT_TRUE(spinUntil([&] { return clock.delays.size() >= 6; }));
    spinUntil([] { return false; }, 300ms);
    EXPECT_THAT(clock.delays, ElementsAre(400ms, 1500ms, 400ms, 1500ms, 400ms, 1500ms));
    clock.runAll();  // each event cancelled what the last one scheduled: two snapshots
    EXPECT_THAT(snapshots, ElementsAre(ElementsAre("SIM0001"), ElementsAre("SIM0001", "SIM0002"),
                                       ElementsAre("SIM0001", "SIM0002")));

    // An unplug is a burst of its own.
    phone.bus->unplug(1);
    ASSERT_TRUE(spinUntil([&] { return clock.pending.size() == 2; }));
    clock.runAll();
    EXPECT_EQ(snapshots.size(), 5u);
    EXPECT_THAT(snapshots.back(), ElementsAre("SIM0002"));
}

}  // namespace
