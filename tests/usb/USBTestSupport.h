#pragma once
// Shared pieces of the tests on the virtual USB bus: a libusb context, raw MTP containers.

#include <libusb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/usbbus/VirtualUSBBus.h"

namespace usbtest {

using Bytes = std::vector<uint8_t>;

// Skips nothing: a test binary started without the preload cannot see the bus at all.
inline void requireMockEnvironment() {
    if (!usbbus::VirtualUSBBus::inMockEnvironment()) {
        throw std::runtime_error("run this test under umockdev-wrapper");
    }
}

// A libusb context made after the devices of interest are plugged in.
class Libusb {
  public:
    Libusb() {
        if (libusb_init(&context_) != 0) throw std::runtime_error("libusb_init failed");
    }
    ~Libusb() {
        for (libusb_device_handle* handle : handles_) libusb_close(handle);
        libusb_exit(context_);
    }
    Libusb(const Libusb&) = delete;
    Libusb& operator=(const Libusb&) = delete;

    libusb_context* context() const { return context_; }

    // Whether bus 1 lists a device with this address.
    bool lists(int devnum) const {
        libusb_device* device = find(devnum);
        if (device) libusb_unref_device(device);
        return device != nullptr;
    }

    // The device at bus 1 with this address, referenced (unref it) or null.
    libusb_device* find(int devnum) const {
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        libusb_device* found = nullptr;
        for (ssize_t i = 0; i < count; ++i) {
            if (libusb_get_bus_number(list[i]) == 1 &&
                libusb_get_device_address(list[i]) == devnum) {
                found = libusb_ref_device(list[i]);
            }
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    // Opens the device at `address`; closed with the context. Null when it cannot be opened.
    libusb_device_handle* open(const usbbus::BusAddress& address) {
        libusb_device* device = find(address.devnum);
        if (!device) return nullptr;
        libusb_device_handle* handle = nullptr;
        const int result = libusb_open(device, &handle);
        libusb_unref_device(device);
        if (result != 0) return nullptr;
        handles_.push_back(handle);
        return handle;
    }

    void close(libusb_device_handle* handle) {
        std::erase(handles_, handle);
        libusb_close(handle);
    }

  private:
    libusb_context* context_ = nullptr;
    std::vector<libusb_device_handle*> handles_;
};

inline std::string stringDescriptor(libusb_device_handle* handle, uint8_t index) {
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    if (n < 0) return "<error " + std::to_string(n) + ">";
    return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
}

// Four lower-case hex digits, as sysfs writes idVendor.
inline std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

inline void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint16_t get16(const Bytes& in, size_t at) {
    return at + 2 <= in.size() ? static_cast<uint16_t>(in[at] | in[at + 1] << 8) : 0;
}
inline uint32_t get32(const Bytes& in, size_t at) {
    return at + 4 <= in.size() ? static_cast<uint32_t>(get16(in, at) | get16(in, at + 2) << 16) : 0;
}

// An MTP command container.
inline Bytes command(uint16_t op, uint32_t transaction, std::vector<uint32_t> params = {}) {
    Bytes out;
    put32(out, static_cast<uint32_t>(12 + 4 * params.size()));
    put16(out, 1);
    put16(out, op);
    put32(out, transaction);
    for (uint32_t p : params) put32(out, p);
    return out;
}

// A PTP string (length byte, UTF-16LE with terminator) decoded as ASCII; advances `at`.
inline std::string ptpString(const Bytes& in, size_t& at) {
    const size_t count = at < in.size() ? in[at] : 0;
    ++at;
    std::string out;
    for (size_t i = 0; i < count; ++i, at += 2) {
        const uint16_t c = get16(in, at);
        if (c) out += static_cast<char>(c);
    }
    return out;
}

}  // namespace usbtest
