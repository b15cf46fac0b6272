#pragma once
// A volume served from the in-process simulated phone. Operations run on the volume's queue,
// as the FUSE host runs them.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "tests/fs/LogCapture.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace kestrum {

// The volume's caches and single-item operations, which no product code reaches directly.
struct VolumeTestAccess {
    static ItemPtr item(Volume& volume, uint64_t id) { return volume.item(id); }
    static void remove(Volume& volume, uint64_t id) { volume.remove(id); }
    static std::string rename(Volume& volume, uint64_t id, uint64_t source, uint64_t destination,
                              std::string_view newName, std::optional<uint64_t> over) {
        return volume.rename(id, source, destination, newName, over);
    }
    static Statistics statisticsOf(std::span<const mtp::MTPStorage> storages) {
        return Volume::statisticsOf(storages);
    }
};

}  // namespace kestrum

namespace kestrumtest {

using kestrum::Volume;
using Access = kestrum::VolumeTestAccess;
using Op = mtp::Op;

class VolumeTest : public ::testing::Test {
  protected:
    // A phone with this configuration; objects are added through phone() before mount().
    void makePhone(phonesim::PhoneConfig config = {}) {
        phone_ = std::make_unique<phonesim::SimulatedPhone>(std::move(config));
    }
    phonesim::SimulatedPhone& phone() {
        if (!phone_) makePhone();
        return *phone_;
    }
    uint32_t storage(size_t index = 0) { return phone().storageID(index); }

    // Opens a session and creates the volume; the phone's counters start from zero afterwards.
    Volume& mount(bool writable = false) {
        volume_ = std::make_unique<Volume>(openSession(), writable);
        phone().resetStats();
        return *volume_;
    }
    std::unique_ptr<mtp::MTPSession> openSession() {
        auto session = std::make_unique<mtp::MTPSession>(
            std::make_unique<phonesim::SimulatedTransport>(phone()));
        session->open();
        return session;
    }
    Volume& volume() { return *volume_; }

    template <typename F>
    auto q(F&& work) {
        return volume_->queue().runSync(std::forward<F>(work));
    }
    // The POSIX code an operation fails with; 0 when it succeeds.
    template <typename F>
    int errorOf(F&& work) {
        try {
            q(std::forward<F>(work));
        } catch (const kestrum::PosixError& error) {
            return error.code;
        }
        return 0;
    }

    kestrum::ItemPtr lookup(uint64_t directory, const std::string& name) {
        return q([&] { return volume_->lookup(directory, name); });
    }
    std::vector<kestrum::DirectoryEntry> entries(uint64_t directory, bool withAttributes,
                                                 uint64_t cookie = 0) {
        std::vector<kestrum::DirectoryEntry> result;
        q([&] {
            volume_->enumerate(directory, cookie, withAttributes, [&](const auto& entry) {
                result.push_back(entry);
                return true;
            });
        });
        return result;
    }
    std::vector<std::string> names(uint64_t directory) {
        std::vector<std::string> result;
        for (const auto& entry : entries(directory, true)) result.push_back(entry.name);
        return result;
    }
    uint64_t count(mtp::Op op) { return phone().stats().count(op); }

    void TearDown() override {
        if (volume_) q([&] { volume_->shutdown(); });
        volume_.reset();
    }

    LogCapture log_;
    std::unique_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<Volume> volume_;
};

inline phonesim::Bytes pattern(size_t size, uint8_t seed = 0) {
    phonesim::Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed) >> 3);
    return bytes;
}

}  // namespace kestrumtest
