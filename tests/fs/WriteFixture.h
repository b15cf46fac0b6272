#pragma once
// The write path's test bed: a writable volume over the in-process simulated phone, a transport
// that can make the phone refuse chosen operations, and a model of everything the phone should
// hold, compared with the phone's own storage after each test.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/BulkTransport.h"
#include "mtp/MTPCodes.h"
#include "tests/fs/VolumeFixture.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace kestrumtest {

// Which commands the phone refuses, shared by a test and its transport.
class Refusals {
  public:
    // The next `times` commands of op, after `skip` of them went through, are answered with
    // response and never reach the phone.
    void refuse(mtp::Op op, mtp::Response response, int times = 1, int skip = 0) {
        std::lock_guard guard(mutex_);
        rules_.push_back({op, response, times, skip});
    }
    void clear() {
        std::lock_guard guard(mutex_);
        rules_.clear();
    }
    // The phone is unplugged as the chosen command of op is sent (after skip of them).
    void unplug(mtp::Op op, int skip = 0) { refuse(op, unplugged, 1, skip); }
    static constexpr mtp::Response unplugged{};  // no phone answers this

    // The response for a command of op, or none when it goes to the phone.
    std::optional<mtp::Response> take(mtp::Op op) {
        std::lock_guard guard(mutex_);
        for (Rule& rule : rules_) {
            if (rule.op != op || rule.times == 0) continue;
            if (rule.skip > 0) {
                --rule.skip;
                continue;
            }
            --rule.times;
            return rule.response;
        }
        return std::nullopt;
    }

  private:
    struct Rule {
        mtp::Op op;
        mtp::Response response;
        int times;
        int skip;
    };
    std::mutex mutex_;
    std::vector<Rule> rules_;
};

// The simulated phone's transport, except that refused commands are swallowed together with
// their data phase and answered here, as a phone that says no would answer.
class RefusingTransport : public mtp::BulkTransport {
  public:
    RefusingTransport(phonesim::SimulatedPhone& phone, std::shared_ptr<Refusals> refusals)
        : inner_(phone, std::chrono::seconds(5)), refusals_(std::move(refusals)) {}

    int maxPacketSize() const override { return inner_.maxPacketSize(); }
    void write(std::span<const uint8_t> bytes) override {
        if (bytes.size() >= 12 &&
            (bytes[4] | bytes[5] << 8) == mtp::wire(mtp::ContainerType::Command)) {
            swallowing_ = false;
            const mtp::Op op{static_cast<uint16_t>(bytes[6] | bytes[7] << 8)};
            if (auto response = refusals_->take(op)) {
                if (*response == Refusals::unplugged) {
                    inner_.phone().unplug();
                    inner_.write(bytes);  // fails: the phone is gone
                }
                answer_.assign(12, 0);
                answer_[0] = 12;
                answer_[4] = mtp::wire(mtp::ContainerType::Response);
                answer_[6] = static_cast<uint8_t>(mtp::wire(*response));
                answer_[7] = static_cast<uint8_t>(mtp::wire(*response) >> 8);
                std::memcpy(answer_.data() + 8, bytes.data() + 8, 4);  // transaction ID
                swallowing_ = true;
                return;
            }
        }
        if (!swallowing_) inner_.write(bytes);
    }
    size_t read(std::span<uint8_t> buffer) override {
        if (answer_.empty()) return inner_.read(buffer);
        const size_t length = std::min(buffer.size(), answer_.size());
        std::memcpy(buffer.data(), answer_.data(), length);
        answer_.clear();
        return length;
    }
    void drainInput() noexcept override {
        answer_.clear();
        inner_.drainInput();
    }

  private:
    phonesim::SimulatedTransport inner_;
    std::shared_ptr<Refusals> refusals_;
    std::vector<uint8_t> answer_;
    bool swallowing_ = false;
};

// What the phone should hold: path below a storage's top level -> file content, or no value
// for a folder.
struct PhoneModel {
    std::map<std::pair<uint32_t, std::string>, std::optional<phonesim::Bytes>> objects;

    void folder(uint32_t storage, const std::string& path) { objects[{storage, path}]; }
    void file(uint32_t storage, const std::string& path, phonesim::Bytes content) {
        objects[{storage, path}] = std::move(content);
    }
    void erase(uint32_t storage, const std::string& path) { objects.erase({storage, path}); }
};

class WriteTest : public VolumeTest {
  protected:
    // A writable volume whose transport obeys refusals(); the phone's counters start at zero.
    Volume& mountWritable() {
        auto session = std::make_unique<mtp::MTPSession>(
            std::make_unique<RefusingTransport>(phone(), refusals_));
        session->open();
        volume_ = std::make_unique<Volume>(std::move(session), true);
        phone().resetStats();
        return *volume_;
    }
    Refusals& refusals() { return *refusals_; }

    uint64_t create(uint64_t directory, const std::string& name,
                    kestrum::ItemType type = kestrum::ItemType::file) {
        return q([&] { return volume().create(directory, name, type)->id; });
    }
    uint64_t mkdir(uint64_t directory, const std::string& name) {
        return create(directory, name, kestrum::ItemType::directory);
    }
    // Writes bytes from offset on in pieces of chunk bytes, as cp does; all must be accepted.
    void writeAll(uint64_t id, const phonesim::Bytes& bytes, uint64_t offset = 0,
                  size_t chunk = 128 << 10) {
        for (size_t done = 0; done < bytes.size();) {
            const size_t length = std::min(chunk, bytes.size() - done);
            const size_t written = q([&] {
                return volume().write(id, static_cast<int64_t>(offset + done),
                                      std::span(bytes).subspan(done, length));
            });
            ASSERT_EQ(written, length);
            done += length;
        }
    }
    // create, open for writing, write everything, release: a copy into the volume.
    uint64_t copyIn(uint64_t directory, const std::string& name, const phonesim::Bytes& bytes) {
        const uint64_t id = create(directory, name);
        q([&] { volume().open(id, {.write = true}, false); });
        writeAll(id, bytes);
        q([&] { volume().release(id, {.write = true}); });
        return id;
    }
    uint64_t sizeOf(uint64_t id) {
        return q([&] { return volume().getAttributes(id).size; });
    }
    phonesim::Bytes readAll(uint64_t id) {
        phonesim::Bytes bytes(sizeOf(id));
        size_t done = 0;
        while (done < bytes.size()) {
            const size_t got = q([&] {
                return volume().read(
                    id, static_cast<int64_t>(done),
                    std::span(bytes).subspan(done, std::min<size_t>(1 << 20, bytes.size() - done)));
            });
            if (got == 0) break;
            done += got;
        }
        bytes.resize(done);
        return bytes;
    }
    std::optional<phonesim::Bytes> onPhone(const std::string& path, size_t storageIndex = 0) {
        return phone().readFile(storage(storageIndex), path);
    }

    // Every object of the phone against the model: the same paths, kinds and contents.
    void expectPhoneHolds(const PhoneModel& model) {
        std::map<std::pair<uint32_t, std::string>, std::optional<phonesim::Bytes>> actual;
        for (const phonesim::ObjectRecord& record : phone().listAll()) {
            if (record.isFolder)
                actual[{record.storage, record.path}] = std::nullopt;
            else
                actual[{record.storage, record.path}] =
                    phone().readFile(record.storage, record.path);
        }
        std::vector<std::string> missing, unexpected, different;
        for (const auto& [key, content] : model.objects) {
            auto found = actual.find(key);
            if (found == actual.end())
                missing.push_back(key.second);
            else if (found->second != content)
                different.push_back(key.second);
        }
        for (const auto& [key, content] : actual)
            if (!model.objects.contains(key)) unexpected.push_back(key.second);
        EXPECT_TRUE(missing.empty()) << "missing on the phone: " << join(missing);
        EXPECT_TRUE(unexpected.empty()) << "unexpected on the phone: " << join(unexpected);
        EXPECT_TRUE(different.empty()) << "different content or kind: " << join(different);
    }

    static std::string join(const std::vector<std::string>& texts) {
        std::string result;
        for (const std::string& text : texts) result += (result.empty() ? "" : ", ") + text;
        return result;
    }

    std::shared_ptr<Refusals> refusals_ = std::make_shared<Refusals>();
};

}  // namespace kestrumtest
