#pragma once
// Small things many tests need: recognisable bytes, a temporary folder, and a session with the
// simulated phone.

#include <stdlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "mtp/PTPString.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace testsupport {

// Bytes that never repeat at any distance: each is a hash of its position and of seed, so a
// chunk read or written at the wrong offset, by whatever multiple, shows. seed tells two files
// apart.
inline std::vector<uint8_t> pattern(size_t size, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        uint64_t x = (i + 1) * 0x9E3779B97F4A7C15u ^ (uint64_t{seed} << 56);
        x = (x ^ x >> 31) * 0xBF58476D1CE4E5B9u;
        bytes[i] = static_cast<uint8_t>(x >> 56);
    }
    return bytes;
}

// text as a PTP string on the wire.
inline std::vector<uint8_t> ptpString(std::string_view text) {
    std::vector<uint8_t> bytes;
    mtp::appendPTPString(bytes, text);
    return bytes;
}

// The MTPTransportError that action throws; one saying "<none>" when it throws none.
inline mtp::MTPTransportError transportFailure(const std::function<void()>& action) {
    try {
        action();
    } catch (const mtp::MTPTransportError& error) {
        return error;
    }
    return mtp::MTPTransportError("<none>");
}

// Polls condition every 5 ms until it holds (true) or limit has passed (false).
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "brisvale-test") {
        std::string name = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(name.data()) != nullptr) path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// An open session (OpenSession, GetDeviceInfo) with the simulated phone in this process; the
// phone must outlive it. Throws what MTPSession::open throws.
inline std::unique_ptr<mtp::MTPSession> connectPhone(phonesim::SimulatedPhone& phone) {
    auto session = std::make_unique<mtp::MTPSession>(
        std::make_unique<phonesim::SimulatedTransport>(phone, std::chrono::seconds(2)));
    session->open();
    return session;
}

}  // namespace testsupport
