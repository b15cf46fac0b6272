// Transfers through the virtual bus with plain libusb, where the bus itself must behave as the
// kernel's: a phone that drops off leaves the bus, a claim ends with its process, a stalled
// endpoint stays halted until cleared, and an idle client sleeps.

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "mtp/Container.h"
#include "mtp/MTPCodes.h"
#include "tests/common/TestSupport.h"
#include "tests/usb/USBTestSupport.h"

namespace {

using namespace usbtest;
using testsupport::eventually;
using namespace std::chrono_literals;

constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02, kEvents = 0x83;
using Bytes = std::vector<uint8_t>;

class Transfers : public testing::Test {
  protected:
    void SetUp() override { requireMockEnvironment(); }

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

    usbbus::VirtualUSBBus bus;
    std::shared_ptr<phonesim::SimulatedPhone> phone;
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

TEST_F(Transfers, ClosingTheDeviceOrDyingEndsTheClaim) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    usb->close(handle);
    const pid_t holder = bus.hold(1);  // would fail while this process still had it

    ::kill(holder, SIGKILL);  // no release: the process just dies
    handle = usb->open(address);
    ASSERT_NE(handle, nullptr);
    int claimed = LIBUSB_ERROR_BUSY;
    eventually([&] { return (claimed = libusb_claim_interface(handle, 0)) != LIBUSB_ERROR_BUSY; });
    EXPECT_EQ(claimed, 0);
    bus.release(1);  // reaps the dead holder
}

TEST_F(Transfers, StalledEndpointsFailUntilTheHaltIsCleared) {
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
    const auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };

    const double before = cpu();
    const auto started = std::chrono::steady_clock::now();
    handleEventsFor(2s);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double used = cpu() - before;
    EXPECT_LT(used, 0.2 * wall) << "CPU seconds " << used << " in " << wall << " s";

    libusb_cancel_transfer(transfer);
    handleEventsFor(1s);
    EXPECT_EQ(status, LIBUSB_TRANSFER_CANCELLED);
    libusb_free_transfer(transfer);
}

}  // namespace
