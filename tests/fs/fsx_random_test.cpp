// fsx at the volume's level: seeded random operations, each checked against a model, and at the
// end the phone's own storage against it. KESTRUM_FSX_SEED and KESTRUM_FSX_STEPS reproduce a run.

#include <cstdlib>
#include <random>
#include <set>

#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;

namespace {

constexpr uint64_t maxFileSize = 1 << 20;

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

struct ModelFile {
    uint64_t folder = 0;
    std::string name;
    Bytes content;
    bool inMemory = false;
    std::vector<OpenModes> handles;  // released in random order
    uint64_t readEnd = 0;            // sequential reads go on here
};

class FsxTest : public VolumeTest {
  protected:
    uint64_t pick(uint64_t bound) {
        return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random);
    }
    bool chance(int percent) { return pick(100) < uint64_t(percent); }
    template <typename Map>
    uint64_t any(const Map& map) {
        return std::next(map.begin(), long(pick(map.size())))->first;
    }
    std::string anyName(bool inMemory) {
        return (inMemory ? "._m" : "f") + std::to_string(pick(inMemory ? 3 : 8));
    }
    std::optional<uint64_t> holder(uint64_t folder, const std::string& name) {
        for (const auto& [id, file] : files)
            if (file.folder == folder && file.name == name) return id;
        return std::nullopt;
    }
    void forget(uint64_t id) {
        for (const OpenModes& modes : files[id].handles) q([&] { volume().release(id, modes); });
        files.erase(id);
    }
    std::string pathOf(const ModelFile& file) { return folders[file.folder] + file.name; }

    // One random operation, checked at once.
    void step() {
        const uint64_t choice = pick(100);
        if (files.empty() || choice < 8) return createOne();
        const uint64_t id = any(files);
        ModelFile& file = files[id];
        if (choice < 40) {
            const uint64_t offset = chance(10) ? pick(maxFileSize) : pick(file.content.size() + 1);
            const uint64_t length =
                std::min(1 + (chance(5) ? pick(300000) : pick(65536)), maxFileSize + 1 - offset);
            const Bytes bytes = pattern(length, uint8_t(pick(256)));
            ASSERT_EQ(q([&] { return volume().write(id, int64_t(offset), bytes); }), length);
            if (file.content.size() < offset + length) file.content.resize(offset + length, 0);
            std::copy(bytes.begin(), bytes.end(), file.content.begin() + long(offset));
        } else if (choice < 50) {
            const uint64_t size = chance(30) ? 0 : pick(maxFileSize);
            if (size == 0 && chance(50)) {
                q([&] { volume().open(id, {.write = true}, true); });
                file.handles.push_back({.write = true});
            } else {
                q([&] { volume().setAttributes(id, size); });
            }
            file.content.resize(size, 0);
        } else if (choice < 68) {
            // Sequential reads go through the read-ahead window; random ones straight through.
            const bool sequential = chance(60);
            const uint64_t offset = !sequential ? pick(file.content.size() + 100)
                                    : file.readEnd < file.content.size() ? file.readEnd
                                                                         : 0;
            const uint64_t asked = 1 + pick(sequential ? 32768 : 200000);
            Bytes scratch(asked);
            const Bytes buffer = q([&] {
                std::span<const uint8_t> got = volume().read(id, int64_t(offset), scratch);
                return Bytes(got.begin(), got.end());
            });
            const auto at = [&](uint64_t n) {
                return file.content.begin() + long(std::min(n, file.content.size()));
            };
            ASSERT_EQ(buffer, Bytes(at(offset), at(offset + asked)))
                << "read of " << file.name << " at " << offset;
            file.readEnd = offset + buffer.size();
        } else if (choice < 78) {
            if (!file.handles.empty() && chance(60)) {
                const auto which = file.handles.begin() + long(pick(file.handles.size()));
                const OpenModes modes = *which;
                file.handles.erase(which);
                q([&] { volume().release(id, modes); });
            } else {
                const OpenModes modes{.read = chance(70), .write = chance(60)};
                q([&] { volume().open(id, modes, false); });
                file.handles.push_back(modes);
            }
        } else if (choice < 83) {
            q([&] { volume().fsync(id); });
            if (!file.inMemory) {
                ASSERT_EQ(onPhone(pathOf(file)), file.content) << "committed " << file.name;
            }
        } else if (choice < 85) {
            q([&] { volume().reclaim(id); });
        } else if (choice < 95) {
            renameOne(id);
        } else {
            q([&] { volume().unlink(file.folder, file.name); });
            forget(id);
        }
    }

    void createOne() {
        const uint64_t folder = any(folders);
        const bool inMemory = chance(15);
        const std::string name = anyName(inMemory);
        if (holder(folder, name)) {
            ASSERT_EQ(errorOf([&] { volume().create(folder, name, ItemType::file); }), EEXIST);
            return;
        }
        files[create(folder, name)] = {
            .folder = folder, .name = name, .content = {}, .inMemory = inMemory, .handles = {}};
    }

    void renameOne(uint64_t id) {
        ModelFile& file = files[id];
        const uint64_t folder = any(folders);
        const bool kindChanges = chance(5);  // a name of the other kind must be refused
        const std::string name = anyName(file.inMemory != kindChanges);
        const unsigned int flags = chance(20) ? RENAME_NOREPLACE : 0;
        const std::optional<uint64_t> over = holder(folder, name);
        const int expected = over && *over != id && flags ? EEXIST : kindChanges ? EACCES : 0;
        ASSERT_EQ(
            errorOf([&] { volume().renameEntry(file.folder, file.name, folder, name, flags); }),
            expected)
            << file.name << " -> " << name;
        if (expected) return;
        if (over && *over != id) forget(*over);
        files[id].folder = folder;
        files[id].name = name;
    }

    // Every file's size, and every 100 steps the folders' listings, against the model.
    void check(uint64_t step) {
        for (const auto& [id, file] : files)
            ASSERT_EQ(sizeOf(id), file.content.size()) << file.name;
        if (step % 100 != 0) return;
        for (const auto& [folder, prefix] : folders) {
            std::set<std::string> listed, modelled;
            for (const std::string& name : names(folder))
                if (name.starts_with("f") || name.starts_with("._")) listed.insert(name);
            for (const auto& [id, file] : files)
                if (file.folder == folder) modelled.insert(file.name);
            ASSERT_EQ(listed, modelled) << "listing of '" << prefix << "'";
        }
    }

    uint64_t seed = fromEnvironment("KESTRUM_FSX_SEED", 20261206);
    uint64_t steps = fromEnvironment("KESTRUM_FSX_STEPS", 10000);
    std::mt19937_64 random{seed};
    std::map<uint64_t, std::string> folders;  // ID -> path prefix
    std::map<uint64_t, ModelFile> files;
};

TEST_F(FsxTest, RandomOperationsKeepVolumeModelAndPhoneInStep) {
    // Listed files, so that the first edit must ask for their size.
    const std::vector<std::pair<std::string, Bytes>> listed{
        {"A/f0", pattern(30000, 1)}, {"B/f1", pattern(70000, 2)}, {"f2", pattern(5, 3)}};
    for (const auto& [path, content] : listed) phone().addFile(storage(), path, content);
    mount(true);
    folders = {{rootID, ""}, {lookup(rootID, "A")->id, "A/"}, {lookup(rootID, "B")->id, "B/"}};
    for (const auto& [path, content] : listed) {
        const auto slash = path.find('/');
        const uint64_t folder =
            slash == std::string::npos ? rootID : lookup(rootID, path.substr(0, slash))->id;
        const std::string name = path.substr(slash + 1);
        files[lookup(folder, name)->id] = {
            .folder = folder, .name = name, .content = content, .inMemory = false, .handles = {}};
    }
    SCOPED_TRACE("reproduce with KESTRUM_FSX_SEED=" + std::to_string(seed) +
                 " KESTRUM_FSX_STEPS=" + std::to_string(steps));
    for (uint64_t n = 1; n <= steps; ++n) {
        ASSERT_NO_FATAL_FAILURE(step()) << "step " << n;
        ASSERT_NO_FATAL_FAILURE(check(n)) << "step " << n;
    }
    PhoneModel model{{"A", folder}, {"B", folder}};
    for (auto& [id, file] : files) {
        ASSERT_EQ(readAll(id), file.content) << file.name;
        for (const OpenModes& modes : file.handles)
            q([&, id = id] { volume().release(id, modes); });
        if (!file.inMemory) model[pathOf(file)] = file.content;
    }
    q([&] { volume().shutdown(); });
    EXPECT_TRUE(phone().openEdits().empty());
    EXPECT_LE(count(Op::GetObjectPropValue), 3u) << "one size query for each listed file at most";
    expectPhoneHolds(model);
}

}  // namespace
