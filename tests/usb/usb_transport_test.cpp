// USBTransport over libusb against the simulated phone on the virtual USB bus.

#include "mtp/USBTransport.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "mtp/Container.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "mtp/USBDiscovery.h"
#include "tests/common/TestSupport.h"
#include "tests/usb/USBPhoneLink.h"

namespace {

using testsupport::pattern;

using namespace std::chrono_literals;
using mtp::MTPTransportError;
using mtp::TransportErrorKind;
using mtp::USBTransport;
using usbbus::Variant;
using usbtest::processBus;
using usbtest::recordAt;

constexpr int port = 1;
constexpr size_t MiB = 1 << 20;

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 3s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

MTPTransportError failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const MTPTransportError& error) {
        return error;
    }
    return MTPTransportError("<no MTPTransportError>");
}

class USBTransportTest : public testing::Test {
  protected:
    void TearDown() override {
        transport_.reset();
        processBus().release(port);
        processBus().unplug(port);
    }

    phonesim::SimulatedPhone& plug(Variant variant = Variant::mtpClass,
                                   phonesim::PhoneConfig config = {}) {
        phone_ = std::make_shared<phonesim::SimulatedPhone>(std::move(config));
        profile_ = usbbus::profileFor(config, variant);
        profile_.maxPacketSize = static_cast<uint16_t>(phone_->maxPacketSize());
        processBus().unplug(port);
        processBus().plug(port, profile_, phone_);
        return *phone_;
    }

    USBTransport& open(mtp::USBTransportLimits limits = {}) {
        transport_ = USBTransport::create(recordAt(port), limits);
        return *transport_;
    }

    // Opens a session over its own transport, returns the handle of the file at `path` and
    // leaves the session open on the phone (the transport is dropped).
    uint32_t handleAfterListing(const std::string& path) {
        mtp::MTPSession session(USBTransport::create(recordAt(port)));
        session.open();
        uint32_t storage = phone_->storageID(0);
        session.list(storage, 0xFFFFFFFF);
        return *phone_->handleOf(storage, path);
    }

    // Sends a GetPartialObject64 command and never reads its answer, as a host that died in the
    // middle of a transaction leaves the phone.
    void leaveUnreadAnswer(uint32_t handle, uint32_t length) {
        USBTransport& usb = open();
        auto command = mtp::buildCommand(mtp::Op::GetPartialObject64, 77,
                                         std::vector<uint32_t>{handle, 0, 0, length});
        usb.write(command.bytes());
        transport_.reset();
    }

    // The later of the endpoints of each kind, as the endpoint walk must find them.
    struct Expected {
        uint8_t bulkIn = 0, bulkOut = 0, events = 0;
        int packetSize = 0;
    };
    Expected expected() const {
        Expected e;
        for (const auto& ep : usbbus::interfaceLayout(profile_).endpoints) {
            bool in = ep.address & 0x80;
            if ((ep.attributes & 3) == 2) {
                (in ? e.bulkIn : e.bulkOut) = ep.address;
                e.packetSize = ep.maxPacketSize;
            } else if ((ep.attributes & 3) == 3 && in) {
                e.events = ep.address;
            }
        }
        return e;
    }

    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    usbbus::DeviceProfile profile_;
    std::unique_ptr<USBTransport> transport_;
};

TEST_F(USBTransportTest, OpensTheMTPInterfaceAndCarriesASession) {
    plug();
    USBTransport& usb = open();
    Expected e = expected();
    EXPECT_EQ(usb.bulkInAddress(), e.bulkIn);
    EXPECT_EQ(usb.bulkOutAddress(), e.bulkOut);
    EXPECT_EQ(usb.eventAddress(), e.events);
    EXPECT_EQ(usb.maxPacketSize(), 512);
    EXPECT_EQ(usb.receiveBufferSize(), USBTransport::defaultReceiveBufferSize);
    EXPECT_TRUE(usb.eventLoopRunning());
    // Nothing was queued: the one drain read ran out of time, which counts as a failure.
    EXPECT_EQ(usb.counters().drainReads, 1u);
    EXPECT_EQ(usb.counters().bulkHaltClears, 1u);

    mtp::MTPSession session(std::move(transport_));
    session.open();
    EXPECT_EQ(session.storages().size(), 1u);
    EXPECT_TRUE(phone_->isSessionOpen());
}

TEST_F(USBTransportTest, TakesTheLaterOfTwoBulkOutEndpoints) {
    plug(Variant::twoBulkOut);
    USBTransport& usb = open();
    EXPECT_EQ(usb.bulkOutAddress(), 0x02);
    EXPECT_EQ(usb.maxPacketSize(), expected().packetSize);
    // The earlier OUT endpoint stalls every transfer: a session works only over the later one.
    mtp::MTPSession session(std::move(transport_));
    session.open();
    EXPECT_EQ(session.storages().size(), 1u);
}

TEST_F(USBTransportTest, PacketSizeIsTheWhole16BitField) {
    phonesim::PhoneConfig config;
    config.maxPacketSize = 0x1200;  // bits 11-12 set: a mask to 11 bits would give 512
    plug(Variant::mtpClass, config);
    EXPECT_EQ(open().maxPacketSize(), 0x1200);
}

TEST_F(USBTransportTest, WithoutInterruptEndpointNoEventLoopRuns) {
    plug(Variant::noInterruptEndpoint);
    USBTransport& usb = open();
    EXPECT_FALSE(usb.hasEventPipe());
    EXPECT_FALSE(usb.eventLoopRunning());
    mtp::MTPSession session(std::move(transport_));
    session.open();
    EXPECT_EQ(session.storages().size(), 1u);
    EXPECT_EQ(processBus().stats(port).events, 0u);
}

TEST_F(USBTransportTest, EmptyWriteIsAZeroLengthPacketOnTheWire) {
    plug();
    USBTransport& usb = open();
    phone_->resetStats();
    usb.write({});
    phonesim::PhoneStats stats = phone_->stats();
    EXPECT_EQ(stats.transfersOut, 1u);
    EXPECT_EQ(stats.bytesFromHost, 0u);
    EXPECT_EQ(usb.counters().bulkOutTransfers, 1u);
}

TEST_F(USBTransportTest, ReadGoesIntoTheCallerBufferAndResizesTheReceiveBuffer) {
    plug();
    USBTransport& usb = open();
    auto command = mtp::buildCommand(mtp::Op::OpenSession, 1, std::vector<uint32_t>{1});
    usb.write(command.bytes());
    std::vector<uint8_t> buffer(4096, 0xEE);
    size_t n = usb.read(buffer);
    ASSERT_EQ(n, 12u);
    mtp::ContainerHeader header = mtp::parseContainerHeader(buffer);
    EXPECT_EQ(header.type, mtp::ContainerType::Response);
    EXPECT_EQ(header.code, mtp::wire(mtp::Response::OK));
    EXPECT_EQ(buffer[12], 0xEE);  // nothing beyond what arrived is touched
    EXPECT_EQ(usb.receiveBufferSize(), 4096u);
    EXPECT_EQ(usb.counters().bytesIn, 12u);
}

TEST_F(USBTransportTest, StaleInputIsDrainedAtMostSixteenReads) {
    phonesim::PhoneConfig config;
    plug(Variant::mtpClass, config);
    phone_->addFile(phone_->storageID(0), "big.bin", mtp::Bytes(40 * MiB, 1));
    uint32_t handle = handleAfterListing("big.bin");
    leaveUnreadAnswer(handle, 32 * MiB);
    phone_->resetStats();

    USBTransport& usb = open();
    EXPECT_EQ(usb.counters().drainReads, 16u);
    EXPECT_EQ(usb.counters().bulkHaltClears, 0u);
    EXPECT_EQ(phone_->stats().bytesToHost, 16 * MiB);
}

TEST_F(USBTransportTest, ZeroLengthReadEndsTheDrainAtOnce) {
    plug();
    phone_->addFile(phone_->storageID(0), "one.bin", pattern(2 * MiB));
    uint32_t handle = handleAfterListing("one.bin");
    // A data container of exactly 1 MiB: one full read, then the zero-length packet.
    leaveUnreadAnswer(handle, MiB - 12);

    USBTransport& usb = open();
    EXPECT_EQ(usb.counters().drainReads, 2u);
    EXPECT_EQ(usb.counters().bulkHaltClears, 0u);
    // The response behind the zero-length packet is still there.
    std::vector<uint8_t> buffer(MiB);
    size_t n = usb.read(buffer);
    ASSERT_GE(n, 12u);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).type, mtp::ContainerType::Response);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).transactionID, 77u);
}

TEST_F(USBTransportTest, ReadThatIsNeverAnsweredFailsAtTheLimit) {
    plug();
    mtp::USBTransportLimits limits;
    limits.read = 300ms;
    USBTransport& usb = open(limits);
    std::vector<uint8_t> buffer(MiB);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf([&] { (void)usb.read(buffer); }),
              MTPTransportError("bulk read failed: LIBUSB_ERROR_TIMEOUT",
                                TransportErrorKind::timeout, LIBUSB_ERROR_TIMEOUT));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 10s);
    // The cancelled read leaves the transport usable.
    mtp::MTPSession session(std::move(transport_));
    session.open();
    EXPECT_EQ(session.storages().size(), 1u);
}

TEST_F(USBTransportTest, StalledWriteFails) {
    plug();
    USBTransport& usb = open();
    phone_->updateFaults([](phonesim::Faults& f) { f.stallOut = phonesim::FaultTrigger::next(); });
    auto command = mtp::buildCommand(mtp::Op::OpenSession, 1, std::vector<uint32_t>{1});
    EXPECT_EQ(failureOf([&] { usb.write(command.bytes()); }),
              MTPTransportError("bulk write failed: LIBUSB_ERROR_PIPE", TransportErrorKind::stall,
                                LIBUSB_ERROR_PIPE));
}

TEST_F(USBTransportTest, EventsKeepTheLoopGoing) {
    plug();
    mtp::MTPSession session(USBTransport::create(recordAt(port)));
    auto& usb = static_cast<USBTransport&>(session.transport());
    session.open();
    uint32_t storage = phone_->storageID(0);
    session.list(storage, 0xFFFFFFFF);  // the phone reports changes in listed folders only
    ASSERT_TRUE(eventually([&] { return usb.counters().eventTransfers >= 1; }));

    phone_->addFile(storage, "a.txt", mtp::Bytes(10, 'a'));
    ASSERT_TRUE(eventually([&] { return usb.counters().eventCompleted >= 1; }));
    phone_->addFile(storage, "b.txt", mtp::Bytes(10, 'b'));
    ASSERT_TRUE(eventually([&] { return usb.counters().eventCompleted >= 2; }));
    // Every completion queued the next read at once.
    EXPECT_TRUE(eventually([&] {
        auto c = usb.counters();
        return c.eventTransfers == c.eventCompleted + 1;
    }));
    EXPECT_TRUE(usb.eventLoopRunning());
    EXPECT_EQ(usb.counters().eventHaltClears, 0u);
    EXPECT_EQ(session.list(storage, 0xFFFFFFFF).size(), 2u);

    // A halted interrupt endpoint is cleared and read again a little later: events flow on.
    phone_->updateFaults([](phonesim::Faults& f) { f.stallEvents = 1; });
    ASSERT_TRUE(eventually([&] { return usb.counters().eventHaltClears == 1; }));
    phone_->addFile(storage, "c.txt", mtp::Bytes(10, 'c'));
    EXPECT_TRUE(eventually([&] { return usb.counters().eventCompleted >= 3; }));
    EXPECT_TRUE(usb.eventLoopRunning());
    EXPECT_EQ(usb.counters().eventHaltClears, 1u);
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
    EXPECT_EQ(failureOf([&] { (void)usb.read(buffer); }),
              MTPTransportError("bulk read failed: LIBUSB_ERROR_NO_DEVICE",
                                TransportErrorKind::noDevice, LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(failureOf([&] { usb.write({}); }).kind, TransportErrorKind::noDevice);
    usb.drainInput();  // never throws
}

TEST_F(USBTransportTest, InterfaceHeldByAnotherProcessIsBusy) {
    plug();
    mtp::USBDeviceRecord record = recordAt(port);
    processBus().hold(port);
    MTPTransportError busy = failureOf([&] { USBTransport::create(record); });
    EXPECT_EQ(busy.message, "busy");
    EXPECT_EQ(busy.kind, TransportErrorKind::busy);
    EXPECT_NE(busy.libusbCode, 0);
    EXPECT_EQ(mtp::USBDiscovery().exclusiveOwner(record), "phonesim-hold");

    processBus().release(port);
    USBTransport& usb = open();
    EXPECT_TRUE(usb.eventLoopRunning());
    // Closing gives the interface back: the other process can claim it again.
    transport_.reset();
    EXPECT_NO_THROW(processBus().hold(port));
}

TEST_F(USBTransportTest, DeviceWithoutMTPInterfaceIsRefused) {
    plug(Variant::chargingOnly);
    mtp::USBDeviceRecord charging = recordAt(port);
    EXPECT_EQ(failureOf([&] { USBTransport::create(charging); }),
              MTPTransportError("device " + charging.id + " has no MTP interface",
                                TransportErrorKind::noDevice));

    // A record from an earlier enumeration does not open the device that replaced it.
    plug();
    mtp::USBDeviceRecord old = recordAt(port);
    processBus().replug(port, profile_);
    EXPECT_EQ(failureOf([&] { USBTransport::create(old); }).message,
              "device " + old.id + " has no MTP interface");
    EXPECT_NO_THROW(USBTransport::create(recordAt(port)));
}

// Destruction must cancel the outstanding event read and join the event thread while events
// complete on both the event thread and the session's thread.
TEST_F(USBTransportTest, TeardownWhileEventsArriveIsClean) {
    plug();
    uint32_t storage = phone_->storageID(0);
    std::atomic<bool> done = false;
    std::thread churn;
    struct Joiner {
        std::atomic<bool>& done;
        std::thread& thread;
        ~Joiner() {
            done = true;
            if (thread.joinable()) thread.join();
        }
    } joiner{done, churn};
    uint64_t events = 0;
    for (int round = 0; round < 12; ++round) {
        mtp::MTPSession session(USBTransport::create(recordAt(port)));
        session.open();
        if (!churn.joinable()) {
            session.list(storage, 0xFFFFFFFF);  // from now on the phone reports changes
            churn = std::thread([&] {
                for (int i = 0; !done; ++i) {
                    std::string name = "f" + std::to_string(i % 50) + ".txt";
                    if (!phone_->removeObject(storage, name)) {
                        phone_->addFile(storage, name, mtp::Bytes(1, 'x'));
                    }
                    std::this_thread::sleep_for(1ms);
                }
            });
        }
        session.storages();
        if (round % 3 == 0) std::this_thread::sleep_for(20ms);
        events += static_cast<USBTransport&>(session.transport()).counters().eventCompleted;
    }
    EXPECT_GT(events, 0u);
    done = true;
    churn.join();
    EXPECT_NO_THROW(open());
}

}  // namespace
