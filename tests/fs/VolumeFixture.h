#pragma once
// A volume over the in-process simulated phone, driven as the FUSE host drives it: every
// operation on the volume's queue. The transport can make the phone refuse chosen commands, and
// a model of what the phone should hold is compared with the phone's own storage.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "tests/common/TestSupport.h"
#include "tools/phonesim/SimulatedPhone.h"

namespace kestrum {

// The caches and the single-item operations below unlink, rmdir and rename.
struct VolumeTestAccess {
    static ItemPtr item(Volume& volume, uint64_t id) { return volume.item(id); }
    static void remove(Volume& volume, uint64_t id) { volume.remove(id); }
    static std::string rename(Volume& volume, uint64_t id, uint64_t source, uint64_t destination,
                              std::string_view newName, std::optional<uint64_t> over) {
        return volume.rename(id, source, destination, newName, over);
    }
};

}  // namespace kestrum

namespace kestrumtest {

using namespace kestrum;
using Access = VolumeTestAccess;
using Op = mtp::Op;
using Response = mtp::Response;
using phonesim::Bytes;
using testsupport::pattern;

// Collects the file system's log lines for its life; restores the previous sink.
class LogCapture {
  public:
    LogCapture() {
        previous_ = Log::setSink([this](LogLevel level, std::string_view text) {
            std::lock_guard guard(mutex_);
            lines_.emplace_back(level, std::string(text));
        });
    }
    ~LogCapture() { Log::setSink(std::move(previous_)); }
    // Texts of the lines at this level, in order.
    std::vector<std::string> at(LogLevel level) const {
        std::lock_guard guard(mutex_);
        std::vector<std::string> texts;
        for (const auto& [lineLevel, text] : lines_)
            if (lineLevel == level) texts.push_back(text);
        return texts;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<LogLevel, std::string>> lines_;
    Log::Sink previous_;
};

// The simulated phone's transport, unplugging the phone as a chosen command is sent.
class UnpluggingTransport : public phonesim::SimulatedTransport {
  public:
    struct Plan {
        std::optional<Op> op;  // none: never
        int skip = 0;          // commands of op that still go through
    };
    UnpluggingTransport(phonesim::SimulatedPhone& phone, std::shared_ptr<Plan> plan)
        : SimulatedTransport(phone, std::chrono::seconds(5)), plan_(std::move(plan)) {}
    void write(std::span<const uint8_t> bytes) override {
        if (bytes.size() >= 12 &&
            (bytes[4] | bytes[5] << 8) == mtp::wire(mtp::ContainerType::Command) &&
            plan_->op == Op{static_cast<uint16_t>(bytes[6] | bytes[7] << 8)} && plan_->skip-- == 0)
            phone().unplug();
        SimulatedTransport::write(bytes);
    }

  private:
    std::shared_ptr<Plan> plan_;
};

// What the phone should hold: path -> file content, or `folder`. Paths of storages other than
// the first start with "<StorageID>:".
using PhoneModel = std::map<std::string, std::optional<Bytes>>;
inline const std::optional<Bytes> folder;

class VolumeTest : public ::testing::Test {
  protected:
    // A phone with this configuration (the volume of an earlier one goes); objects are added
    // through phone() before mount().
    void makePhone(phonesim::PhoneConfig config = {}) {
        unmount();
        phone_ = std::make_unique<phonesim::SimulatedPhone>(std::move(config));
    }
    // A phone with these storages (none: the default one) and with the fault, a flag of Faults.
    void makePhoneWith(std::vector<phonesim::StorageConfig> storages,
                       bool phonesim::Faults::*fault = nullptr) {
        phonesim::PhoneConfig config;
        if (!storages.empty()) config.storages = std::move(storages);
        if (fault) config.faults.*fault = true;
        makePhone(std::move(config));
    }
    phonesim::SimulatedPhone& phone() {
        if (!phone_) makePhone();
        return *phone_;
    }
    uint32_t storage(size_t index = 0) { return phone().storageID(index); }

    // Creates the volume (shutting down the one before); the phone's counters start at zero.
    Volume& mount(bool writable = false) {
        unmount();
        auto session = std::make_unique<mtp::MTPSession>(
            std::make_unique<UnpluggingTransport>(phone(), unplugPlan_));
        session->open();
        volume_ = std::make_unique<Volume>(std::move(session), writable);
        phone().resetStats();
        return *volume_;
    }
    Volume& volume() { return *volume_; }
    // The next command of op after `skip` of them is answered with response, not carried out.
    void refuse(Op op, Response response, int skip = 0) {
        phone().updateFaults([&](phonesim::Faults& faults) {
            faults.fail = phonesim::FaultTrigger::once(op);
            faults.failResponse = response;
            faults.failSkip = skip;
        });
    }
    // The next response to op carries another transaction's ID.
    void misanswer(Op op) {
        phone().updateFaults([&](phonesim::Faults& f) { f.wrongTransactionID = {op, 1}; });
    }
    // The phone is unplugged as the command of op after `skip` of them is sent.
    void unplugAt(Op op, int skip = 0) { *unplugPlan_ = {op, skip}; }
    uint64_t count(Op op) { return phone().stats().count(op); }

    template <typename F>
    auto q(F&& work) {
        return volume_->queue().runSync(std::forward<F>(work));
    }
    // The POSIX code an operation fails with; 0 when it succeeds.
    template <typename F>
    int errorOf(F&& work) {
        try {
            q(std::forward<F>(work));
        } catch (const PosixError& error) {
            return error.code;
        }
        return 0;
    }

    ItemPtr lookup(uint64_t directory, const std::string& name) {
        return q([&] { return volume_->lookup(directory, name); });
    }
    ItemPtr item(uint64_t id) {
        return q([&] { return Access::item(*volume_, id); });
    }
    std::vector<DirectoryEntry> entries(uint64_t directory, bool withAttributes) {
        std::vector<DirectoryEntry> result;
        q([&] {
            volume_->enumerate(directory, 0, withAttributes, [&](const auto& entry) {
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

    uint64_t create(uint64_t directory, const std::string& name, ItemType type = ItemType::file) {
        return q([&] { return volume_->create(directory, name, type)->id; });
    }
    // Writes bytes from offset on in pieces of chunk bytes, as cp does; all must be accepted.
    void writeAll(uint64_t id, const Bytes& bytes, uint64_t offset = 0, size_t chunk = 128 << 10) {
        for (size_t done = 0; done < bytes.size(); done += chunk) {
            const auto piece = std::span(bytes).subspan(done, std::min(chunk, bytes.size() - done));
            ASSERT_EQ(q([&] { return volume_->write(id, int64_t(offset + done), piece); }),
                      piece.size());
        }
    }
    // create, open for writing, write everything, release: a copy into the volume.
    uint64_t copyIn(uint64_t directory, const std::string& name, const Bytes& bytes) {
        const uint64_t id = create(directory, name);
        q([&] { volume_->open(id, {.write = true}, false); });
        writeAll(id, bytes);
        q([&] { volume_->release(id, {.write = true}); });
        return id;
    }
    uint64_t sizeOf(uint64_t id) {
        return q([&] { return volume_->getAttributes(id).size; });
    }
    // Reads into buffer as the host does: the volume answers from its window or in place.
    size_t read(uint64_t id, int64_t offset, std::span<uint8_t> buffer) {
        return q([&] {
            const std::span<const uint8_t> got = volume_->read(id, offset, buffer);
            if (!got.empty()) std::memmove(buffer.data(), got.data(), got.size());
            return got.size();
        });
    }
    Bytes readAll(uint64_t id) {
        Bytes bytes(sizeOf(id));
        size_t done = 0;
        for (size_t got = 1; got && done < bytes.size(); done += got)
            got = read(id, int64_t(done), std::span(bytes).subspan(done));
        bytes.resize(done);
        return bytes;
    }
    std::optional<Bytes> onPhone(const std::string& path, size_t storageIndex = 0) {
        return phone().readFile(storage(storageIndex), path);
    }

    // Every object of the phone against the model: the same paths, kinds and contents.
    void expectPhoneHolds(const PhoneModel& model) {
        PhoneModel actual;
        for (const phonesim::ObjectRecord& record : phone().listAll()) {
            const std::string prefix =
                record.storage == storage() ? "" : std::to_string(record.storage) + ":";
            actual[prefix + record.path] =
                record.isFolder ? folder : phone().readFile(record.storage, record.path);
        }
        std::string differences;
        for (const auto& [path, content] : model)
            if (const auto found = actual.extract(path); !found || found.mapped() != content)
                differences += " " + path + (found ? " (differs)" : " (missing)");
        for (const auto& [path, content] : actual) differences += " " + path + " (unexpected)";
        EXPECT_EQ(differences, "") << "the phone does not hold what it should";
    }

    void unmount() {
        if (volume_) q([&] { volume_->shutdown(); });
        volume_.reset();
    }
    void TearDown() override { unmount(); }

    LogCapture log_;
    std::unique_ptr<phonesim::SimulatedPhone> phone_;
    std::shared_ptr<UnpluggingTransport::Plan> unplugPlan_ =
        std::make_shared<UnpluggingTransport::Plan>();
    std::unique_ptr<Volume> volume_;
};

}  // namespace kestrumtest
