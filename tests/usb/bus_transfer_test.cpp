// Transfers through the virtual bus with plain libusb: a raw MTP exchange, events, unplug in the
// middle of a transfer, another process holding the phone, stalls, and an idle client's cost.

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mtp/USBDiscovery.h"
#include "tests/usb/UsbTestSupport.h"

namespace {

using namespace usbtest;
using namespace std::chrono_literals;
using usbbus::DeviceProfile;
using usbbus::Variant;
using usbbus::VirtualUsbBus;

constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02, kEvents = 0x83;
constexpr uint16_t kGetDeviceInfo = 0x1001, kOpenSession = 0x1002, kCloseSession = 0x1003,
                   kGetStorageIDs = 0x1004, kGetObjectHandles = 0x1007;
constexpr uint16_t kOK = 0x2001;

struct Reply {
    Bytes data;  // payload of the data container, if any
    uint16_t response = 0;
    uint32_t transaction = 0;
};

class Transfers : public testing::Test {
  protected:
    void SetUp() override { requireMockEnvironment(); }

    // Plugs the phone made from `config` at port 1 and opens it; claims interface 0 if asked.
    libusb_device_handle* start(phonesim::PhoneConfig config = {},
                                Variant variant = Variant::mtpClass, bool claim = true) {
        phone = std::make_shared<phonesim::SimulatedPhone>(config);
        address = bus.plug(1, usbbus::profileFor(config, variant), phone);
        usb = std::make_unique<Libusb>();
        libusb_device_handle* handle = usb->open(address);
        if (handle && claim) {
            EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
        }
        return handle;
    }

    static int send(libusb_device_handle* handle, const Bytes& bytes, uint8_t ep = kBulkOut) {
        int sent = 0;
        const int result = libusb_bulk_transfer(handle, ep, const_cast<uint8_t*>(bytes.data()),
                                                static_cast<int>(bytes.size()), &sent, 2000);
        if (result == 0) {
            EXPECT_EQ(sent, static_cast<int>(bytes.size()));
        }
        return result;
    }

    // One whole container from bulk IN (it may take several transfers).
    static Bytes receiveContainer(libusb_device_handle* handle) {
        Bytes container;
        Bytes buffer(64 * 1024);
        do {
            int got = 0;
            const int result = libusb_bulk_transfer(handle, kBulkIn, buffer.data(),
                                                    static_cast<int>(buffer.size()), &got, 2000);
            if (result != 0) throw std::runtime_error(libusb_error_name(result));
            container.insert(container.end(), buffer.begin(), buffer.begin() + got);
        } while (container.size() < 12 || container.size() < get32(container, 0));
        return container;
    }

    static Reply transact(libusb_device_handle* handle, uint16_t op, uint32_t transaction,
                          std::vector<uint32_t> params = {}) {
        if (const int result = send(handle, command(op, transaction, std::move(params)))) {
            throw std::runtime_error(libusb_error_name(result));
        }
        Reply reply;
        Bytes container = receiveContainer(handle);
        if (get16(container, 4) == 2) {
            reply.data.assign(container.begin() + 12, container.end());
            container = receiveContainer(handle);
        }
        EXPECT_EQ(get16(container, 4), 3) << "a response container";
        reply.response = get16(container, 6);
        reply.transaction = get32(container, 8);
        return reply;
    }

    VirtualUsbBus bus;
    std::shared_ptr<phonesim::SimulatedPhone> phone;
    usbbus::BusAddress address;
    std::unique_ptr<Libusb> usb;
};

class RawSession : public Transfers, public testing::WithParamInterface<bool> {};

TEST_P(RawSession, OpensSessionAndReadsDeviceInfoAndStorages) {
    phonesim::PhoneConfig config;
    config.serial = "RAW0042";
    config.model = "Raw Phone";
    if (GetParam()) config.link = phonesim::LinkModel::usb2();
    libusb_device_handle* handle = start(config);
    ASSERT_NE(handle, nullptr);

    const Reply info = transact(handle, kGetDeviceInfo, 0);
    ASSERT_EQ(info.response, kOK);
    size_t at = 8;
    ptpString(info.data, at);  // vendor extension description
    at += 2;                   // functional mode
    const uint32_t operationCount = get32(info.data, at);
    std::vector<uint16_t> operations;
    for (uint32_t i = 0; i < operationCount; ++i)
        operations.push_back(get16(info.data, at + 4 + 2 * i));
    at += 4 + 2 * operationCount;
    for (int array = 0; array < 4; ++array) at += 4 + 2 * get32(info.data, at);
    EXPECT_EQ(ptpString(info.data, at), "Brisvale");
    EXPECT_EQ(ptpString(info.data, at), "Raw Phone");
    ptpString(info.data, at);  // device version
    EXPECT_EQ(ptpString(info.data, at), "RAW0042");
    EXPECT_THAT(operations,
                testing::IsSupersetOf({kGetDeviceInfo, kOpenSession, uint16_t{0x95C1}}));

    EXPECT_EQ(transact(handle, kOpenSession, 0, {1}).response, kOK);
    const Reply storages = transact(handle, kGetStorageIDs, 1);
    EXPECT_EQ(storages.response, kOK);
    EXPECT_EQ(storages.transaction, 1u);
    ASSERT_EQ(get32(storages.data, 0), 1u);
    EXPECT_EQ(get32(storages.data, 4), phone->storageID(0));
    EXPECT_EQ(transact(handle, kCloseSession, 2).response, kOK);
}

INSTANTIATE_TEST_SUITE_P(LinkModels, RawSession, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "usb2" : "unlimited"; });

struct EventCatcher {
    std::atomic<int> status{-1};
    Bytes data;
    static void LIBUSB_CALL done(libusb_transfer* transfer) {
        auto* self = static_cast<EventCatcher*>(transfer->user_data);
        self->data.assign(transfer->buffer, transfer->buffer + transfer->actual_length);
        self->status = transfer->status;
    }
};

// Handles libusb events until `finished` or `limit` passes; returns whether it finished.
bool handleEventsUntil(libusb_context* context, const std::function<bool()>& finished,
                       std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished() && std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, 50000};
        libusb_handle_events_timeout_completed(context, &tv, nullptr);
    }
    return finished();
}

TEST_F(Transfers, PhoneEventsArriveOnTheInterruptEndpoint) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    EventCatcher catcher;
    uint8_t buffer[64];
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_interrupt_transfer(transfer, handle, kEvents, buffer, sizeof buffer,
                                   &EventCatcher::done, &catcher, 0);
    ASSERT_EQ(libusb_submit_transfer(transfer), 0);

    ASSERT_EQ(transact(handle, kOpenSession, 0, {1}).response, kOK);
    const uint32_t storage = phone->storageID(0);
    ASSERT_EQ(transact(handle, kGetObjectHandles, 1, {storage, 0, 0xFFFFFFFF}).response, kOK);
    phone->addFile(storage, "arrived.txt", Bytes{1, 2, 3});

    ASSERT_TRUE(handleEventsUntil(
        usb->context(), [&] { return catcher.status >= 0; }, 2s));
    EXPECT_EQ(catcher.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(get16(catcher.data, 4), 4);  // event container
    EXPECT_EQ(get16(catcher.data, 6), 0x4002);
    EXPECT_EQ(get32(catcher.data, 12), *phone->handleOf(storage, "arrived.txt"));
    libusb_free_transfer(transfer);
}

TEST_F(Transfers, UnplugFailsTransfersInFlightAndLaterOnesWithNoDevice) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    EventCatcher catcher;
    uint8_t buffer[64];
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_interrupt_transfer(transfer, handle, kEvents, buffer, sizeof buffer,
                                   &EventCatcher::done, &catcher, 0);
    ASSERT_EQ(libusb_submit_transfer(transfer), 0);

    // A read with nothing to come waits in its own thread, as a session's read does.
    auto read = std::async(std::launch::async, [handle] {
        uint8_t data[512];
        int got = 0;
        return libusb_bulk_transfer(handle, kBulkIn, data, sizeof data, &got, 10000);
    });
    std::this_thread::sleep_for(200ms);
    bus.unplug(1);
    ASSERT_EQ(read.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(read.get(), LIBUSB_ERROR_NO_DEVICE);
    ASSERT_TRUE(handleEventsUntil(
        usb->context(), [&] { return catcher.status >= 0; }, 2s));
    EXPECT_EQ(catcher.status, LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(send(handle, command(kGetDeviceInfo, 0)), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(std::filesystem::exists("/sys/bus/usb/devices/1-1"));
    libusb_free_transfer(transfer);
}

TEST_F(Transfers, PhoneThatDropsOffByItselfLeavesTheBus) {
    phonesim::PhoneConfig config;
    config.faults.unplugAfterBytes = 200;
    libusb_device_handle* handle = start(config);
    ASSERT_NE(handle, nullptr);
    EXPECT_ANY_THROW(transact(handle, kGetDeviceInfo, 0));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (bus.address(1) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(bus.address(1).has_value());
    EXPECT_EQ(send(handle, command(kGetDeviceInfo, 0)), LIBUSB_ERROR_NO_DEVICE);
}

std::string driverOf(const usbbus::BusAddress& address) {
    std::error_code error;
    const auto link = std::filesystem::read_symlink(address.interfaceSysPath() + "/driver", error);
    return error ? "" : link.filename().string();
}

TEST_F(Transfers, AnotherProcessHoldingTheInterfaceMakesClaimsBusyAndIsNamed) {
    libusb_device_handle* handle = start({}, Variant::mtpClass, false);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(driverOf(address), "");

    const pid_t holder = bus.hold(1);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(driverOf(address), "usbfs");
    std::ifstream comm("/proc/" + std::to_string(holder) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, "phonesim-hold");

    mtp::USBDiscovery discovery;
    const auto records = discovery.allDevices();
    auto record = std::ranges::find_if(records, [](const auto& r) { return r.kind.isMTP(); });
    ASSERT_NE(record, records.end());
    EXPECT_EQ(discovery.exclusiveOwner(*record), "phonesim-hold");

    bus.release(1);
    EXPECT_EQ(driverOf(address), "");
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    EXPECT_EQ(driverOf(address), "usbfs");
    EXPECT_THROW(bus.hold(1), std::runtime_error);  // now this process has it
    ASSERT_EQ(libusb_release_interface(handle, 0), 0);
    EXPECT_EQ(driverOf(address), "");
}

TEST_F(Transfers, ClosingTheDeviceOrDyingEndsTheClaim) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    usb->close(handle);
    const pid_t holder = bus.hold(1);  // would fail while this process still had it

    ::kill(holder, SIGKILL);  // no release: the process just dies
    handle = usb->open(address);
    ASSERT_NE(handle, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    int claimed = LIBUSB_ERROR_BUSY;
    while (claimed == LIBUSB_ERROR_BUSY && std::chrono::steady_clock::now() < deadline) {
        claimed = libusb_claim_interface(handle, 0);
        if (claimed == LIBUSB_ERROR_BUSY) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(claimed, 0);
    bus.release(1);  // reaps the dead holder
}

TEST_F(Transfers, StalledEndpointsFailUntilTheHaltIsCleared) {
    libusb_device_handle* handle = start({}, Variant::twoBulkOut);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(send(handle, command(kGetDeviceInfo, 0), 0x01), LIBUSB_ERROR_PIPE);  // the decoy
    EXPECT_EQ(transact(handle, kGetDeviceInfo, 0).response, kOK);

    phone->updateFaults([](phonesim::Faults& f) { f.stallOut = phonesim::FaultTrigger::next(); });
    EXPECT_EQ(send(handle, command(kOpenSession, 0, {1})), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(send(handle, command(kOpenSession, 0, {1})), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(handle, kBulkOut), 0);
    EXPECT_EQ(transact(handle, kOpenSession, 0, {1}).response, kOK);
}

TEST_F(Transfers, ClassRequestsReachThePhone) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    uint8_t status[4] = {};
    ASSERT_EQ(libusb_control_transfer(handle, 0xA1, 0x67, 0, 0, status, sizeof status, 1000), 4);
    EXPECT_EQ(status[2] | status[3] << 8, kOK);

    ASSERT_EQ(transact(handle, kOpenSession, 0, {1}).response, kOK);
    uint8_t cancel[6] = {0x01, 0x40, 5, 0, 0, 0};
    EXPECT_EQ(libusb_control_transfer(handle, 0x21, 0x64, 0, 0, cancel, sizeof cancel, 1000), 6);
    EXPECT_TRUE(phone->isSessionOpen());
    EXPECT_EQ(libusb_control_transfer(handle, 0x21, 0x66, 0, 0, nullptr, 0, 1000), 0);
    EXPECT_FALSE(phone->isSessionOpen());
}

TEST_F(Transfers, ReadWithNothingToComeTimesOutAndLeavesTheLinkUsable) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    uint8_t data[512];
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, kBulkIn, data, sizeof data, &got, 100),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(transact(handle, kGetDeviceInfo, 0).response, kOK);

    // Endpoints without a phone behind them never answer.
    bus.unplug(1);
    address = bus.plug(1, DeviceProfile::keyboardProfile(), nullptr);
    Libusb other;
    libusb_device_handle* keyboard = other.open(address);
    ASSERT_NE(keyboard, nullptr);
    EXPECT_EQ(libusb_interrupt_transfer(keyboard, 0x81, data, 8, &got, 100), LIBUSB_ERROR_TIMEOUT);
}

// usbfs as a program without libusb uses it: the node polls writable only while a completed
// URB waits, a blocking reap waits for the phone, and an unplug ends it.
TEST_F(Transfers, RawUsbfsClientSeesReadinessBlockingReapAndUnplug) {
    start({}, Variant::mtpClass, false);
    const int fd = ::open(address.devNode().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    unsigned interface = 0;
    ASSERT_EQ(::ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface), 0);
    auto writable = [fd] {
        pollfd p{fd, POLLOUT, 0};
        return ::poll(&p, 1, 50) == 1 && (p.revents & POLLOUT);
    };
    auto submit = [fd](usbdevfs_urb& urb, uint8_t endpoint, void* data, int length) {
        urb = {};
        urb.type = USBDEVFS_URB_TYPE_BULK;
        urb.endpoint = endpoint;
        urb.buffer = data;
        urb.buffer_length = length;
        return ::ioctl(fd, USBDEVFS_SUBMITURB, &urb);
    };
    auto reap = [fd]() -> usbdevfs_urb* {
        void* urb = nullptr;
        return ::ioctl(fd, USBDEVFS_REAPURB, &urb) == 0 ? static_cast<usbdevfs_urb*>(urb) : nullptr;
    };

    uint8_t in[4096];
    usbdevfs_urb read{}, write{};
    ASSERT_EQ(submit(read, kBulkIn, in, sizeof in), 0);
    EXPECT_FALSE(writable());
    Bytes getInfo = command(kGetDeviceInfo, 0);
    ASSERT_EQ(submit(write, kBulkOut, getInfo.data(), static_cast<int>(getInfo.size())), 0);
    EXPECT_TRUE(writable());
    std::vector<usbdevfs_urb*> reaped{reap(), reap()};
    EXPECT_THAT(reaped, testing::UnorderedElementsAre(&read, &write));
    EXPECT_FALSE(writable());
    EXPECT_EQ(write.status, 0);
    EXPECT_EQ(write.actual_length, 12);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(get16(Bytes(in, in + 12), 4), 2);  // the data container
    ASSERT_EQ(submit(read, kBulkIn, in, sizeof in), 0);
    ASSERT_EQ(reap(), &read);
    EXPECT_EQ(get16(Bytes(in, in + 12), 6), kOK);

    // Nothing more to come: the reap blocks until the phone leaves the bus.
    ASSERT_EQ(submit(read, kBulkIn, in, sizeof in), 0);
    auto blocked = std::async(std::launch::async, reap);
    EXPECT_EQ(blocked.wait_for(200ms), std::future_status::timeout);
    bus.unplug(1);
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), &read);
    EXPECT_EQ(read.status, -ESHUTDOWN);
    void* none = nullptr;
    EXPECT_EQ(::ioctl(fd, USBDEVFS_REAPURBNDELAY, &none), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(::ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_FALSE(std::filesystem::exists(bus.root() + address.sysPath()));
    ::close(fd);
}

// FIFO readiness: a client with a transfer outstanding must sleep in poll(), not spin.
TEST_F(Transfers, IdleClientWithEventReadOutstandingUsesLittleCpu) {
    libusb_device_handle* handle = start();
    ASSERT_NE(handle, nullptr);
    EventCatcher catcher;
    uint8_t buffer[64];
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_interrupt_transfer(transfer, handle, kEvents, buffer, sizeof buffer,
                                   &EventCatcher::done, &catcher, 0);
    ASSERT_EQ(libusb_submit_transfer(transfer), 0);

    auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const double before = cpu();
    const auto start = std::chrono::steady_clock::now();
    handleEventsUntil(
        usb->context(), [] { return false; }, 2s);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double used = cpu() - before;
    EXPECT_LT(used, 0.2 * wall) << "CPU seconds " << used << " in " << wall << " s";
    EXPECT_LT(bus.stats(1).ioctls, 500u);

    libusb_cancel_transfer(transfer);
    handleEventsUntil(
        usb->context(), [&] { return catcher.status >= 0; }, 1s);
    EXPECT_EQ(catcher.status, LIBUSB_TRANSFER_CANCELLED);
    libusb_free_transfer(transfer);
}

}  // namespace
