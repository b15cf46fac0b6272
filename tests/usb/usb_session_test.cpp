// USBTransport over libusb against the simulated phone on the virtual USB bus, and the MTP
// session and editor against the same phone once in-process and once over libusb: the same tests
// must pass over both transports.

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "mtp/Container.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPEditor.h"
#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "mtp/USBDiscovery.h"
#include "mtp/USBTransport.h"
#include "tests/common/TestSupport.h"
#include "tests/usb/USBTestSupport.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

using testsupport::eventually;
using testsupport::pattern;
using testsupport::transportFailure;

using namespace std::chrono_literals;
using mtp::MTPTransportError;
using mtp::TransportErrorKind;
using mtp::USBTransport;
using phonesim::Bytes;
using phonesim::Faults;
using phonesim::FaultTrigger;
using phonesim::PhoneConfig;
using phonesim::StorageConfig;
using usbbus::Variant;
using usbtest::processBus;
using usbtest::recordAt;

constexpr uint32_t Internal = 0x00010001;
constexpr uint32_t MiB = 1 << 20;
constexpr int port = 1;

enum class Transport { inProcess, libusb };

class PhoneTransportTest : public testing::TestWithParam<Transport> {
  protected:
    phonesim::SimulatedPhone& startPhone(PhoneConfig config = {}) {
        phone_ = std::make_shared<phonesim::SimulatedPhone>(std::move(config));
        if (GetParam() == Transport::libusb) usbtest::plugPhone(port, phone_);
        return *phone_;
    }

    // An open session over a new transport; the previous session and transport go first.
    // readTimeout: the bulk read limit (60 s in the product).
    mtp::MTPSession& openSession(std::chrono::milliseconds readTimeout = 60s) {
        session_.reset();
        std::unique_ptr<mtp::BulkTransport> transport;
        if (GetParam() == Transport::inProcess) {
            transport = std::make_unique<phonesim::SimulatedTransport>(*phone_, readTimeout);
        } else {
            transport = mtp::USBTransport::create(usbtest::recordAt(port), {.read = readTimeout});
        }
        session_ = std::make_unique<mtp::MTPSession>(std::move(transport));
        session_->open();
        return *session_;
    }

    void TearDown() override {
        session_.reset();
        if (GetParam() == Transport::libusb) usbtest::processBus().unplug(port);
    }

  private:
    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<mtp::MTPSession> session_;
};

TEST_P(PhoneTransportTest, EntriesAndReadsPastFourGiBAndEditorWrites) {
    testsupport::TempDir dir;
    PhoneConfig config;
    config.storages = {StorageConfig{"Internal shared storage", 64ull << 30, dir.path(), false}};
    auto& phone = startPhone(config);
    phone.addSparseFile(Internal, "Movies/long.mkv", 5'000'000'000ull);
    std::fstream(dir.path() / "Movies/long.mkv", std::ios::in | std::ios::out).seekp(4'999'999'996)
        << "tail";
    auto& session = openSession();
    uint32_t movies = session.list(Internal, mtp::RootParent).at(0).handle;
    mtp::MTPEntry movie = session.list(Internal, movies).at(0);
    EXPECT_EQ(movie.size, 5'000'000'000ull);
    EXPECT_FALSE(movie.sizeUnknown);
    Bytes tail(16);
    EXPECT_EQ(session.readPartial(movie.handle, 4'999'999'996ull, 16, tail), 4u);
    EXPECT_EQ(std::string(tail.begin(), tail.begin() + 4), "tail");

    EXPECT_EQ(session.listByPropList(movies).at(0).size, 5'000'000'000ull);

    // Editor writes reach the phone.
    mtp::MTPEditor editor(session);
    uint32_t docs = editor.createObject(Internal, mtp::RootParent, "Docs", true);

    // A SendObject container of exactly one packet is followed by a zero-length packet.
    uint32_t small = editor.createObject(Internal, docs, "small.bin", false);
    Bytes fill = pattern(512 - 12);
    phone.resetStats();
    session.transact(mtp::Op::SendObject, {}, std::span<const uint8_t>(fill));
    EXPECT_EQ(phone.stats().transfersOut, 3u);  // command, data, zero-length packet
    EXPECT_EQ(phone.readFile(Internal, "Docs/small.bin"), fill);

    uint32_t file = editor.createObject(Internal, docs, "big.bin", false);
    session.transact(mtp::Op::SendObject, {}, std::span<const uint8_t>());
    Bytes content = pattern(10 * MiB + 3);
    EXPECT_EQ(editor.beginEdit(file, 0, false), 0u);
    editor.write(file, 0, content);
    editor.recordSize(file, content.size());
    editor.endEdit(file);
    EXPECT_TRUE(phone.openEdits().empty());
    EXPECT_EQ(phone.readFile(Internal, "Docs/big.bin"), content);
    EXPECT_EQ(session.entry(file).size, content.size());
    EXPECT_EQ(session.entry(small).size, fill.size());
    editor.rename(small, std::string(300, 'n'));  // names are cut to 254 units
    EXPECT_EQ(session.entry(small).name, std::string(254, 'n'));
}

// Containers of whole MiBs end with a zero-length packet that the session must skip; each
// transfer the phone sends is one read, on either transport. A phone that announces no length
// ends its data with a short (or zero-length) transfer.
TEST_P(PhoneTransportTest, LargeRangesOfKnownAndUnknownLengthAndTransportFaults) {
    auto& phone = startPhone();
    Bytes content = pattern(70 * MiB);
    phone.addFile(Internal, "big.bin", content);
    for (bool unknownLength : {false, true}) {
        phone.updateFaults([&](Faults& f) { f.unknownLengthData = unknownLength; });
        auto& session = openSession();
        uint32_t big = session.list(Internal, mtp::RootParent).at(0).handle;
        for (uint32_t length : {100u, MiB - 12, MiB, 3 * MiB - 12, 64 * MiB}) {
            SCOPED_TRACE(testing::Message() << length << (unknownLength ? " unknown" : ""));
            Bytes out(length);
            phone.resetStats();
            ASSERT_EQ(session.readPartial(big, 5, length, out), length);
            EXPECT_TRUE(std::equal(out.begin(), out.end(), content.begin() + 5));
            // The data transfers, the zero-length packet, the response.
            if (!unknownLength && length % MiB == MiB - 12) {
                EXPECT_EQ(phone.stats().transfersIn, (length + 12) / MiB + 2);
            }
        }
        // A range past the end of the object stops where the object does.
        Bytes out(4096);
        EXPECT_EQ(session.readPartial(big, 70 * MiB - 100, 4096, out), 100u);
    }

    // The vendor quirk hangs a partial read whose last packet is exactly 512 bytes: the read
    // times out in the middle of its data, and the session stays usable.
    phone.setFaults({});
    phone.updateFaults([](Faults& x) { x.partialReadHangQuirk = true; });
    auto& session = openSession(300ms);
    uint32_t f = session.list(Internal, mtp::RootParent).at(0).handle;
    Bytes out(1012);
    EXPECT_THROW((void)session.readPartial(f, 0, 1012, out), MTPTransportError);
    EXPECT_EQ(session.readPartial(f, 0, 1000, out), 1000u);

    // A halted bulk IN loses that transaction's reply; the drain clears the halt and the session
    // goes on.
    phone.updateFaults([](Faults& x) { x.stallIn = FaultTrigger::once(mtp::Op::GetObjectInfo); });
    EXPECT_THROW((void)session.entry(f), MTPTransportError);
    EXPECT_FALSE(session.isStalled());
    EXPECT_EQ(session.entry(f).size, 70 * MiB);
}

INSTANTIATE_TEST_SUITE_P(Session, PhoneTransportTest,
                         testing::Values(Transport::inProcess, Transport::libusb),
                         [](const auto& info) {
                             return info.param == Transport::inProcess ? "InProcess" : "Libusb";
                         });

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
    plug().addFile(phone_->storageID(0), "big.bin", Bytes(40 * MiB, 1));
    leaveUnreadAnswer("big.bin", 32 * MiB);
    phone_->resetStats();
    open();
    EXPECT_EQ(phone_->stats().bytesToHost, 16 * MiB);

    // A data container of exactly 1 MiB: one full read, then the zero-length packet; the
    // response behind it is still there.
    transport_.reset();
    plug().addFile(phone_->storageID(0), "big.bin", Bytes(MiB, 1));
    leaveUnreadAnswer("big.bin", MiB - 12);
    USBTransport& usb = open();
    EXPECT_EQ(usb.counters().drainReads, 2u);
    std::vector<uint8_t> buffer(MiB);
    ASSERT_GE(usb.read(buffer), 12u);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).type, mtp::ContainerType::Response);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).transactionID, 77u);
}

TEST_F(USBTransportTest, FailuresCarryTheirKindAndUnplugEndsTheEventLoop) {
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

    phone_->updateFaults([](Faults& f) { f.stallOut = FaultTrigger::next(); });
    EXPECT_EQ(transportFailure([&] { usb.write(command.bytes()); }),
              MTPTransportError("bulk write failed: LIBUSB_ERROR_PIPE", TransportErrorKind::stall,
                                LIBUSB_ERROR_PIPE));

    // Unplugging ends the event loop without clearing halts.
    ASSERT_TRUE(usb.eventLoopRunning());
    processBus().unplug(port);
    ASSERT_TRUE(eventually([&] { return !usb.eventLoopRunning(); }));
    auto ended = usb.counters();
    std::this_thread::sleep_for(300ms);  // a retry would come after 0.1 s
    EXPECT_EQ(usb.counters(), ended);
    EXPECT_EQ(ended.eventHaltClears, 0u);

    EXPECT_EQ(transportFailure([&] { (void)usb.read(buffer); }),
              MTPTransportError("bulk read failed: LIBUSB_ERROR_NO_DEVICE",
                                TransportErrorKind::noDevice, LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(transportFailure([&] { usb.write({}); }).kind, TransportErrorKind::noDevice);
    usb.drainInput();  // never throws
}

TEST_F(USBTransportTest, EventsKeepTheLoopGoing) {
    plug();
    auto s = session();
    auto& usb = static_cast<USBTransport&>(s->transport());
    uint32_t storage = phone_->storageID(0);
    s->list(storage, mtp::RootParent);  // the phone reports changes in listed folders only
    for (uint64_t n : {1, 2}) {
        phone_->addFile(storage, std::to_string(n), Bytes(10, 'a'));
        ASSERT_TRUE(eventually([&] { return usb.counters().eventCompleted >= n; }));
    }
    // Every completion queued the next read at once.
    EXPECT_TRUE(eventually([&] {
        auto c = usb.counters();
        return c.eventTransfers == c.eventCompleted + 1;
    }));
    EXPECT_EQ(s->list(storage, mtp::RootParent).size(), 2u);

    // A halted interrupt endpoint is cleared and read again a little later: events flow on.
    phone_->updateFaults([](Faults& f) { f.stallEvents = 1; });
    ASSERT_TRUE(eventually([&] { return usb.counters().eventHaltClears == 1; }));
    phone_->addFile(storage, "3", Bytes(10, 'c'));
    EXPECT_TRUE(eventually([&] { return usb.counters().eventCompleted >= 3; }));
    EXPECT_TRUE(usb.eventLoopRunning());
}

// Held by another process: busy; without an MTP interface: no device.
TEST_F(USBTransportTest, OpenIsRefusedWhenBusyOrNotMTP) {
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
    processBus().release(port);

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
