#pragma once
// A minimal MTP host written straight against SimulatedPhone's USB side, so the phone's tests
// do not depend on the MTP core they are meant to check.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/phonesim/SimulatedPhone.h"

namespace phonesim::test {

inline void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}
inline uint16_t get16(const Bytes& b, size_t at) {
    return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}
inline uint32_t get32(const Bytes& b, size_t at) {
    return get16(b, at) | static_cast<uint32_t>(get16(b, at + 2)) << 16;
}
inline uint64_t get64(const Bytes& b, size_t at) {
    return get32(b, at) | static_cast<uint64_t>(get32(b, at + 4)) << 32;
}

// A container of the given type (1 command, 2 data) with its length filled in.
inline Bytes container(uint16_t type, uint16_t op, uint32_t transaction,
                       const std::vector<uint32_t>& params) {
    Bytes b;
    put32(b, static_cast<uint32_t>(12 + 4 * params.size()));
    put16(b, type);
    put16(b, op);
    put32(b, transaction);
    for (uint32_t p : params) put32(b, p);
    return b;
}

inline void setLength(Bytes& b, uint32_t length) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(length >> (8 * i));
}

// PTP string of ASCII text.
inline void putString(Bytes& b, const std::string& s) {
    if (s.empty()) return b.push_back(0);
    b.push_back(static_cast<uint8_t>(s.size() + 1));
    for (unsigned char c : s) put16(b, c);
    put16(b, 0);
}

// UTF-16 code units of a PTP string at `at`, decoded as ASCII / Latin-1 (tests use plain names).
inline std::string getString(const Bytes& b, size_t& at) {
    uint8_t n = at < b.size() ? b[at] : 0;
    ++at;
    std::string s;
    for (uint8_t i = 0; i < n; ++i, at += 2) {
        uint16_t u = get16(b, at);
        if (u) s.push_back(static_cast<char>(u));
    }
    return s;
}

// The ObjectInfo a host sends with SendObjectInfo.
inline Bytes objectInfo(const std::string& name, bool folder, uint32_t size = 0) {
    Bytes b;
    put32(b, 0);
    put16(b, folder ? 0x3001 : 0x3000);
    put16(b, 0);
    put32(b, size);
    put16(b, 0);
    for (int i = 0; i < 6; ++i) put32(b, 0);
    put32(b, 0);
    put16(b, folder ? 1 : 0);
    put32(b, 0);
    put32(b, 0);
    putString(b, name);
    for (int i = 0; i < 3; ++i) b.push_back(0);
    return b;
}

struct RawResult {
    uint16_t code = 0;  // 0: the phone did not answer
    std::vector<uint32_t> params;
    Bytes data;
};

class RawHost {
  public:
    explicit RawHost(SimulatedPhone& phone) : phone_(phone) {}

    uint32_t lastTransaction() const { return tid_; }

    RawResult run(uint16_t op, std::vector<uint32_t> params = {},
                  std::optional<Bytes> dataOut = std::nullopt) {
        RawResult r;
        ++tid_;
        if (phone_.bulkOut(container(1, op, tid_, params)) != TransferStatus::ok) return r;
        if (dataOut) {
            Bytes data = container(2, op, tid_, {});
            data.insert(data.end(), dataOut->begin(), dataOut->end());
            setLength(data, static_cast<uint32_t>(data.size()));
            if (phone_.bulkOut(data) != TransferStatus::ok) return r;
            if (data.size() % static_cast<size_t>(phone_.maxPacketSize()) == 0) phone_.bulkOut({});
        }
        // Containers of known length; zero-length reads between them are skipped.
        Bytes reply;
        if (!read(reply)) return r;
        if (get16(reply, 4) == 2) {
            while (reply.size() < get32(reply, 0)) {
                if (!read(reply)) return r;
            }
            r.data.assign(reply.begin() + 12, reply.end());
            reply.clear();
            if (!read(reply)) return r;
        }
        r.code = get16(reply, 6);
        for (size_t at = 12; at + 4 <= std::min<size_t>(reply.size(), get32(reply, 0)); at += 4) {
            r.params.push_back(get32(reply, at));
        }
        return r;
    }

    // Convenience: run and expect OK.
    RawResult ok(uint16_t op, std::vector<uint32_t> params = {},
                 std::optional<Bytes> dataOut = std::nullopt) {
        RawResult r = run(op, std::move(params), std::move(dataOut));
        EXPECT_EQ(r.code, 0x2001) << "op 0x" << std::hex << op;
        return r;
    }

    void open() { ok(0x1002, {1}); }

    std::vector<uint32_t> handles(uint32_t storage, uint32_t parent) {
        RawResult r = ok(0x1007, {storage, 0, parent});
        std::vector<uint32_t> out;
        for (uint32_t i = 0; i < get32(r.data, 0); ++i) out.push_back(get32(r.data, 4 + 4 * i));
        return out;
    }

    // name and 32-bit size from ObjectInfo.
    std::pair<std::string, uint32_t> info(uint32_t handle) {
        RawResult r = ok(0x1008, {handle});
        size_t at = 52;
        return {getString(r.data, at), get32(r.data, 8)};
    }

    // Creates a file through SendObjectInfo + SendObject; returns its handle.
    uint32_t sendFile(uint32_t storage, uint32_t parent, const std::string& name,
                      const Bytes& content) {
        RawResult info = ok(0x100C, {storage, parent},
                            objectInfo(name, false, static_cast<uint32_t>(content.size())));
        ok(0x100D, {}, content);
        return info.params.size() >= 3 ? info.params[2] : 0;
    }

    uint32_t makeFolder(uint32_t storage, uint32_t parent, const std::string& name) {
        RawResult info = ok(0x100C, {storage, parent}, objectInfo(name, true));
        return info.params.size() >= 3 ? info.params[2] : 0;
    }

  private:
    // Appends the next non-empty bulk IN transfer to out; false when none comes.
    bool read(Bytes& out) {
        Bytes buffer(1 << 20);
        for (;;) {
            InTransfer t = phone_.bulkIn(buffer);
            if (t.status != TransferStatus::ok) return false;
            if (t.length == 0) continue;
            out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<long>(t.length));
            return true;
        }
    }

    SimulatedPhone& phone_;
    uint32_t tid_ = 0;
};

}  // namespace phonesim::test
