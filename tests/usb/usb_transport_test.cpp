// USBTransport over libusb against the simulated phone on the virtual USB bus.

#include "mtp/USBTransport.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <thread>

#include "mtp/Container.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "mtp/USBDiscovery.h"
#include "tests/common/TestSupport.h"
#include "tests/usb/USBTestSupport.h"

namespace {

using namespace std::chrono_literals;
using mtp::MTPTransportError;
using mtp::TransportErrorKind;
using mtp::USBTransport;
using testsupport::eventually;
using testsupport::transportFailure;
using usbbus::Variant;
using usbtest::processBus;
using usbtest::recordAt;

constexpr int port = 1;
constexpr size_t MiB = 1 << 20;

class USBTransportTest : public testing::Test {
  protected:
    void TearDown() override {
        transport_.reset();
        processBus().release(port);
        processBus().unplug(port);
    }

    phonesim::SimulatedPhone& plug(Variant variant = Variant::mtpClass) {
        phone_ = std::make_shared<phonesim::SimulatedPhone>();
        usbtest::plugPhone(port, phone_, variant);
        return *phone_;
    }

    USBTransport& open(mtp::USBTransportLimits limits = {}) {
        transport_ = USBTransport::create(recordAt(port), limits);
        return *transport_;
    }

    // An open session over its own transport (which then owns the transport).
    std::unique_ptr<mtp::MTPSession> session() {
        auto session = std::make_unique<mtp::MTPSession>(USBTransport::create(recordAt(port)));
        session->open();
        return session;
    }

    // Sends GetPartialObject64 for `length` bytes of the file at `path` and never reads the
    // answer, as a host that died in the middle of a transaction leaves the phone.
    void leaveUnreadAnswer(const std::string& path, uint32_t length) {
        uint32_t storage = phone_->storageID(0);
        session()->list(storage, mtp::RootParent);
        uint32_t handle = *phone_->handleOf(storage, path);
        auto command = mtp::buildCommand(mtp::Op::GetPartialObject64, 77,
                                         std::vector<uint32_t>{handle, 0, 0, length});
        open().write(command.bytes());
        transport_.reset();
    }

    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<USBTransport> transport_;
};

// The endpoint walk finds what each layout offers: the later of two bulk OUT endpoints (the
// earlier one stalls every transfer), and no event loop without an interrupt endpoint.
TEST_F(USBTransportTest, EveryInterfaceLayoutCarriesASession) {
    for (Variant variant : {Variant::mtpClass, Variant::vendorMtp, Variant::twoBulkOut,
                            Variant::noInterruptEndpoint}) {
        SCOPED_TRACE(usbbus::variantName(variant));
        plug(variant);
        auto s = session();
        EXPECT_EQ(s->storages().size(), 1u);
        auto& usb = static_cast<USBTransport&>(s->transport());
        EXPECT_EQ(usb.eventLoopRunning(), variant != Variant::noInterruptEndpoint);
    }
}

// Input a host left behind is drained at open, at most 16 reads of it, and no further than the
// first zero-length packet.
TEST_F(USBTransportTest, StaleInputIsDrainedAtOpen) {
    plug().addFile(phone_->storageID(0), "big.bin", mtp::Bytes(40 * MiB, 1));
    leaveUnreadAnswer("big.bin", 32 * MiB);
    phone_->resetStats();
    open();
    EXPECT_EQ(phone_->stats().bytesToHost, 16 * MiB);

    // A data container of exactly 1 MiB: one full read, then the zero-length packet; the
    // response behind it is still there.
    transport_.reset();
    plug().addFile(phone_->storageID(0), "big.bin", mtp::Bytes(MiB, 1));
    leaveUnreadAnswer("big.bin", MiB - 12);
    USBTransport& usb = open();
    EXPECT_EQ(usb.counters().drainReads, 2u);
    std::vector<uint8_t> buffer(MiB);
    ASSERT_GE(usb.read(buffer), 12u);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).type, mtp::ContainerType::Response);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).transactionID, 77u);
}

TEST_F(USBTransportTest, FailuresCarryTheirKind) {
    plug();
    USBTransport& usb = open({.read = 300ms});
    std::vector<uint8_t> buffer(MiB);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transportFailure([&] { (void)usb.read(buffer); }),
              MTPTransportError("bulk read failed: LIBUSB_ERROR_TIMEOUT",
                                TransportErrorKind::timeout, LIBUSB_ERROR_TIMEOUT));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 10s);

    // The cancelled read leaves the transport usable.
    auto command = mtp::buildCommand(mtp::Op::OpenSession, 1, std::vector<uint32_t>{1});
    usb.write(command.bytes());
    ASSERT_EQ(usb.read(buffer), 12u);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).code, mtp::wire(mtp::Response::OK));

    phone_->updateFaults([](phonesim::Faults& f) { f.stallOut = phonesim::FaultTrigger::next(); });
    EXPECT_EQ(transportFailure([&] { usb.write(command.bytes()); }),
              MTPTransportError("bulk write failed: LIBUSB_ERROR_PIPE", TransportErrorKind::stall,
                                LIBUSB_ERROR_PIPE));
}

TEST_F(USBTransportTest, EventsKeepTheLoopGoing) {
    plug();
    auto s = session();
    auto& usb = static_cast<USBTransport&>(s->transport());
    uint32_t storage = phone_->storageID(0);
    s->list(storage, mtp::RootParent);  // the phone reports changes in listed folders only
    for (uint64_t n : {1, 2}) {
        phone_->addFile(storage, std::to_string(n), mtp::Bytes(10, 'a'));
        ASSERT_TRUE(eventually([&] { return usb.counters().eventCompleted >= n; }));
    }
    // Every completion queued the next read at once.
    EXPECT_TRUE(eventually([&] {
        auto c = usb.counters();
        return c.eventTransfers == c.eventCompleted + 1;
    }));
    EXPECT_EQ(s->list(storage, mtp::RootParent).size(), 2u);

    // A halted interrupt endpoint is cleared and read again a little later: events flow on.
    phone_->updateFaults([](phonesim::Faults& f) { f.stallEvents = 1; });
    ASSERT_TRUE(eventually([&] { return usb.counters().eventHaltClears == 1; }));
    phone_->addFile(storage, "3", mtp::Bytes(10, 'c'));
    EXPECT_TRUE(eventually([&] { return usb.counters().eventCompleted >= 3; }));
    EXPECT_TRUE(usb.eventLoopRunning());
}

TEST_F(USBTransportTest, UnplugEndsTheEventLoopWithoutClearingHalts) {
    plug();
    USBTransport& usb = open();
    ASSERT_TRUE(usb.eventLoopRunning());
    processBus().unplug(port);
    ASSERT_TRUE(eventually([&] { return !usb.eventLoopRunning(); }));
    auto ended = usb.counters();
    std::this_thread::sleep_for(300ms);  // a retry would come after 0.1 s
    EXPECT_EQ(usb.counters(), ended);
    EXPECT_EQ(ended.eventHaltClears, 0u);

    std::vector<uint8_t> buffer(MiB);
    EXPECT_EQ(transportFailure([&] { (void)usb.read(buffer); }),
              MTPTransportError("bulk read failed: LIBUSB_ERROR_NO_DEVICE",
                                TransportErrorKind::noDevice, LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(transportFailure([&] { usb.write({}); }).kind, TransportErrorKind::noDevice);
    usb.drainInput();  // never throws
}

TEST_F(USBTransportTest, InterfaceHeldByAnotherProcessIsBusy) {
    plug();
    mtp::USBDeviceRecord record = recordAt(port);
    processBus().hold(port);
    MTPTransportError busy = transportFailure([&] { USBTransport::create(record); });
    EXPECT_EQ(busy.message, "busy");
    EXPECT_EQ(busy.kind, TransportErrorKind::busy);
    EXPECT_EQ(mtp::USBDiscovery().exclusiveOwner(record), "phonesim-hold");

    processBus().release(port);
    open();
    // Closing gives the interface back: the other process can claim it again.
    transport_.reset();
    EXPECT_NO_THROW(processBus().hold(port));
}

TEST_F(USBTransportTest, DeviceWithoutMTPInterfaceIsRefused) {
    plug(Variant::chargingOnly);
    mtp::USBDeviceRecord charging = recordAt(port);
    EXPECT_EQ(transportFailure([&] { USBTransport::create(charging); }),
              MTPTransportError("device " + charging.id + " has no MTP interface",
                                TransportErrorKind::noDevice));

    // A record from an earlier enumeration does not open the device that replaced it.
    plug();
    mtp::USBDeviceRecord old = recordAt(port);
    processBus().replug(port, usbbus::DeviceProfile{});
    EXPECT_EQ(transportFailure([&] { USBTransport::create(old); }).message,
              "device " + old.id + " has no MTP interface");
    EXPECT_NO_THROW(USBTransport::create(recordAt(port)));
}

// Destruction must cancel the outstanding event read and join the event thread while events
// complete on both the event thread and the session's thread.
TEST_F(USBTransportTest, TeardownWhileEventsArriveIsClean) {
    plug();
    uint32_t storage = phone_->storageID(0);
    session()->list(storage, mtp::RootParent);  // from now on the phone reports changes
    std::jthread churn([&](std::stop_token stop) {
        for (int i = 0; !stop.stop_requested(); ++i) {
            std::string name = "f" + std::to_string(i % 50) + ".txt";
            if (!phone_->removeObject(storage, name)) phone_->addFile(storage, name, {'x'});
            std::this_thread::sleep_for(1ms);
        }
    });
    uint64_t events = 0;
    for (int round = 0; round < 12; ++round) {
        auto s = session();
        s->storages();
        if (round % 3 == 0) std::this_thread::sleep_for(20ms);
        events += static_cast<USBTransport&>(s->transport()).counters().eventCompleted;
    }
    churn.request_stop();
    churn.join();
    EXPECT_GT(events, 0u);
    EXPECT_NO_THROW(open());
}

}  // namespace
