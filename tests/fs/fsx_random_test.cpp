// fsx (FsxModel.h) on the volume itself, called as the FUSE host calls it, over a phone that
// serves a folder; now and then the volume forgets an item as the kernel does.

#include "tests/fs/FsxModel.h"
#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;

namespace {

class FsxTest : public VolumeTest, public fsx::Calls {
  protected:
    // What work returns (0 for nothing), or -errno; on the volume's queue.
    template <typename F>
    long call(F work) {
        try {
            return q([&]() -> long {
                if constexpr (std::is_void_v<decltype(work())>)
                    return work(), 0;
                else
                    return static_cast<long>(work());
            });
        } catch (const PosixError& error) {
            return -error.code;
        }
    }
    uint64_t idOf(const fsx::fs::path& path) {
        uint64_t id = rootID;
        for (const auto& name : path) id = volume().lookup(id, name.string())->id;
        return id;
    }
    uint64_t folderOf(const std::string& path) { return idOf(fsx::parentOf(path)); }
    static std::string nameOf(const std::string& path) { return fsx::fs::path(path).filename(); }
    uint64_t idOf(int fd) { return descriptors_.at(fd).first; }

    long open(const std::string& path, int flags) override {
        return call([&] {
            const uint64_t id =
                flags & O_CREAT ? volume().create(folderOf(path), nameOf(path), ItemType::file)->id
                                : idOf(path);
            const int access = flags & O_ACCMODE;
            const OpenModes modes{.read = access != O_WRONLY, .write = access != O_RDONLY};
            volume().open(id, modes, flags & O_TRUNC);
            descriptors_[++lastFd_] = {id, modes};
            return lastFd_;
        });
    }
    long pwrite(int fd, const Bytes& data, uint64_t offset) override {
        return call([&] { return volume().write(idOf(fd), int64_t(offset), data); });
    }
    long pread(int fd, uint8_t* buffer, uint64_t length, uint64_t offset) override {
        return call([&] { return read(idOf(fd), int64_t(offset), {buffer, length}); });
    }
    long truncate(const std::string& path, int fd, uint64_t size) override {
        return call([&] { volume().setAttributes(fd < 0 ? idOf(path) : idOf(fd), size); });
    }
    long close(int fd) override {
        const auto [id, modes] = descriptors_.at(fd);
        descriptors_.erase(fd);
        return call([&, id = id, modes = modes] { volume().release(id, modes); });
    }
    long fsync(int fd, bool) override {
        return call([&] { volume().fsync(idOf(fd)); });
    }
    long mkdir(const std::string& path) override {
        return call([&] { volume().create(folderOf(path), nameOf(path), ItemType::directory); });
    }
    long rmdir(const std::string& path) override {
        return call([&] { volume().rmdir(folderOf(path), nameOf(path)); });
    }
    long unlink(const std::string& path) override {
        return call([&] { volume().unlink(folderOf(path), nameOf(path)); });
    }
    long rename(const std::string& from, const std::string& to, unsigned flags) override {
        return call([&] {
            volume().renameEntry(folderOf(from), nameOf(from), folderOf(to), nameOf(to), flags);
        });
    }
    // Every seventh item found is forgotten afterwards, as the kernel forgets nodes.
    Found stat(const std::string& path) override {
        Found found;
        found.error = static_cast<int>(-call([&] {
            const Attributes attributes = volume().getAttributes(idOf(path));
            found = {0, S_ISDIR(attributes.mode), attributes.size, attributes.id};
            if (++stats_ % 7 == 0) volume().reclaim(attributes.id);
        }));
        return found;
    }
    fsx::Names list(const std::string& folder) override {
        const std::vector<std::string> listed = names(q([&] { return idOf(folder); }));
        return {listed.begin(), listed.end()};
    }
    bool editOpen(int fd) override {
        const std::vector<uint32_t> edits = phone().openEdits();
        return std::count(edits.begin(), edits.end(), idOf(fd) - objectIDBase) > 0;
    }

    testsupport::TempDir store_;
    std::map<int, std::pair<uint64_t, OpenModes>> descriptors_;  // fd -> file, modes
    int lastFd_ = 0;
    uint64_t stats_ = 0;
};

TEST_F(FsxTest, RandomOperationsKeepVolumeModelAndPhoneInStep) {
    makePhoneWith({{"Internal", 64ull << 30, store_.path()}});
    // Listed files, so that the first edit must ask for their size.
    phone().addFile(storage(), "A/f0", pattern(30000, 1));
    phone().addFile(storage(), "B/f1", pattern(70000, 2));
    phone().addFile(storage(), "f2", pattern(5, 3));
    mount(true);
    fsx::Fsx fsx(*this, store_.path(), 1000);
    ASSERT_TRUE(fsx.run()) << "see the failure and the last operations above";
    fsx.checkEverything();  // every descriptor closed
    q([&] { volume().shutdown(); });
    EXPECT_TRUE(phone().openEdits().empty());
    EXPECT_LE(count(Op::GetObjectPropValue), 3u) << "one size query for each listed file at most";
}

}  // namespace
