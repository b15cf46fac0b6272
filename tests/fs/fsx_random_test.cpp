// fsx at the volume's level: thousands of seeded random writes, truncations, reads, opens and
// releases, fsyncs, creations, renames (over existing files too) and removals, each checked
// against an in-memory model, and at the end the phone's own storage against the model.
// KESTRUM_FSX_SEED and KESTRUM_FSX_STEPS reproduce or lengthen a run; a failure prints both.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/fs/WriteFixture.h"

using namespace kestrum;
using namespace kestrumtest;

namespace {

constexpr uint64_t maxFileSize = 1 << 20;

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

struct ModelFile {
    uint64_t folder = 0;  // directory ID
    std::string name;
    phonesim::Bytes content;
    bool inMemory = false;
    std::vector<OpenModes> handles;  // open handles, released in random order
    uint64_t readEnd = 0;            // where the last read ended: sequential reads go on there
};

class FsxTest : public WriteTest {
  protected:
    void SetUp() override {
        seed = fromEnvironment("KESTRUM_FSX_SEED", 20261206);
        steps = fromEnvironment("KESTRUM_FSX_STEPS", 10000);
        random.seed(seed);
        // Files that come from a listing, so the first edit must ask for their size.
        phone().addFile(storage(), "A/f0", pattern(30000, 1));
        phone().addFile(storage(), "B/f1", pattern(70000, 2));
        phone().addFile(storage(), "f2", pattern(5, 3));
        mountWritable();
        folders = {{rootID, ""}, {lookup(rootID, "A")->id, "A/"}, {lookup(rootID, "B")->id, "B/"}};
        for (const auto& [folder, prefix] : folders) {
            for (const DirectoryEntry& entry : entries(folder, true)) {
                if (entry.isDirectory || entry.id == neverIndexID || entry.id == dsStoreID)
                    continue;
                ModelFile& file = files[entry.id];
                file.folder = folder;
                file.name = entry.name;
                file.content = *onPhone(prefix + entry.name);
            }
        }
    }

    uint64_t pick(uint64_t bound) {  // 0 ..< bound
        return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random);
    }
    bool chance(int percent) { return pick(100) < static_cast<uint64_t>(percent); }
    uint64_t anyFolder() { return std::next(folders.begin(), pick(folders.size()))->first; }
    uint64_t anyFile() { return std::next(files.begin(), pick(files.size()))->first; }
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

    // One random operation, checked at once.
    void step() {
        const uint64_t choice = pick(100);
        if (files.empty() || choice < 8) return createOne();
        const uint64_t id = anyFile();
        ModelFile& file = files[id];
        if (choice < 40) {
            uint64_t offset = chance(10) ? pick(maxFileSize) : pick(file.content.size() + 1);
            uint64_t length = 1 + (chance(5) ? pick(300000) : pick(65536));
            length = std::min(length, maxFileSize + 1 - offset);
            const phonesim::Bytes bytes = pattern(length, static_cast<uint8_t>(pick(256)));
            ASSERT_EQ(q([&] { return volume().write(id, static_cast<int64_t>(offset), bytes); }),
                      length);
            if (file.content.size() < offset + length) file.content.resize(offset + length, 0);
            std::copy(bytes.begin(), bytes.end(), file.content.begin() + static_cast<long>(offset));
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
            const uint64_t offset = sequential
                                        ? (file.readEnd < file.content.size() ? file.readEnd : 0)
                                        : pick(file.content.size() + 100);
            phonesim::Bytes buffer(1 + pick(sequential ? 32768 : 200000));
            const size_t got =
                q([&] { return volume().read(id, static_cast<int64_t>(offset), buffer); });
            const size_t expected =
                offset >= file.content.size()
                    ? 0
                    : std::min<size_t>(buffer.size(), file.content.size() - offset);
            ASSERT_EQ(got, expected) << "read of " << file.name << " at " << offset;
            ASSERT_TRUE(got == 0 ||
                        std::equal(buffer.begin(), buffer.begin() + static_cast<long>(got),
                                   file.content.begin() + static_cast<long>(offset)))
                << "read of " << file.name << " at " << offset;
            file.readEnd = offset + got;
        } else if (choice < 78) {
            if (!file.handles.empty() && chance(60)) {
                const size_t which = pick(file.handles.size());
                const OpenModes modes = file.handles[which];
                file.handles.erase(file.handles.begin() + static_cast<long>(which));
                q([&] { volume().release(id, modes); });
            } else {
                const OpenModes modes{.read = chance(70), .write = chance(60)};
                q([&] { volume().open(id, modes, false); });
                file.handles.push_back(modes);
            }
        } else if (choice < 83) {
            q([&] { volume().fsync(id); });
            if (!file.inMemory) {
                // Committed: the phone holds exactly the model's bytes.
                ASSERT_EQ(onPhone(pathOf(file)), file.content) << "phone copy of " << file.name;
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
        const uint64_t folder = anyFolder();
        const bool inMemory = chance(15);
        const std::string name = anyName(inMemory);
        if (holder(folder, name)) {
            ASSERT_EQ(errorOf([&] { volume().create(folder, name, ItemType::file); }), EEXIST);
            return;
        }
        const uint64_t id = create(folder, name);
        ModelFile& file = files[id];
        file.folder = folder;
        file.name = name;
        file.inMemory = inMemory;
    }

    void renameOne(uint64_t id) {
        ModelFile& file = files[id];
        const uint64_t folder = anyFolder();
        // Now and then a name of the other kind, which must be refused.
        const bool kindChanges = chance(5);
        const std::string name = anyName(file.inMemory != kindChanges);
        const unsigned int flags = chance(20) ? RENAME_NOREPLACE : 0;
        const std::optional<uint64_t> over = holder(folder, name);
        int expected = 0;
        if (over && *over != id && flags)
            expected = EEXIST;
        else if (kindChanges)
            expected = EACCES;
        ASSERT_EQ(
            errorOf([&] { volume().renameEntry(file.folder, file.name, folder, name, flags); }),
            expected)
            << file.name << " -> " << name;
        if (expected) return;
        if (over && *over != id) forget(*over);
        ModelFile& moved = files[id];
        moved.folder = folder;
        moved.name = name;
    }

    std::string pathOf(const ModelFile& file) { return folders[file.folder] + file.name; }

    // The volume's view of one file and of the folders' listings against the model.
    void check(uint64_t step) {
        for (const auto& [id, file] : files)
            ASSERT_EQ(sizeOf(id), file.content.size()) << file.name << " at step " << step;
        if (step % 100 != 0) return;
        for (const auto& [folder, prefix] : folders) {
            std::vector<std::string> listed, modelled;
            for (const std::string& name : names(folder))
                if (name != "A" && name != "B" && name != ".metadata_never_index" &&
                    name != ".DS_Store")
                    listed.push_back(name);
            for (const auto& [id, file] : files)
                if (file.folder == folder) modelled.push_back(file.name);
            std::sort(listed.begin(), listed.end());
            std::sort(modelled.begin(), modelled.end());
            ASSERT_EQ(listed, modelled) << "listing of '" << prefix << "' at step " << step;
        }
    }

    uint64_t seed = 0, steps = 0;
    std::mt19937_64 random;
    std::map<uint64_t, std::string> folders;  // ID -> path prefix
    std::map<uint64_t, ModelFile> files;      // ID -> file
};

TEST_F(FsxTest, RandomOperationsKeepVolumeModelAndPhoneInStep) {
    SCOPED_TRACE("reproduce with KESTRUM_FSX_SEED=" + std::to_string(seed) +
                 " KESTRUM_FSX_STEPS=" + std::to_string(steps));
    for (uint64_t n = 1; n <= steps; ++n) {
        ASSERT_NO_FATAL_FAILURE(step()) << "step " << n;
        ASSERT_NO_FATAL_FAILURE(check(n));
    }
    // Every file in full, then the phone once everything is committed.
    for (const auto& [id, file] : files) ASSERT_EQ(readAll(id), file.content) << file.name;
    for (auto& [id, file] : files) {
        for (const OpenModes& modes : file.handles)
            q([&, id = id] { volume().release(id, modes); });
        file.handles.clear();
    }
    q([&] { volume().shutdown(); });
    EXPECT_TRUE(phone().openEdits().empty());
    EXPECT_LE(phone().stats().count(Op::GetObjectPropValue), 3u)
        << "one size query for each listed file at most";

    PhoneModel model;
    model.folder(storage(), "A");
    model.folder(storage(), "B");
    for (const auto& [id, file] : files)
        if (!file.inMemory) model.file(storage(), pathOf(file), file.content);
    expectPhoneHolds(model);
    std::printf("fsx: %llu steps, seed %llu, %llu transactions, %zu files at the end\n",
                static_cast<unsigned long long>(steps), static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(phone().stats().transactions()), files.size());
}

}  // namespace
