// fsx (FsxModel.h) through the kernel on a read-write mount; the model ends written to MODEL for
// the script to compare after the unmount. Usage: fs_e2e_fsx MOUNT STORE MODEL, with
// PHONESIM_CTL set.

#include <sys/mman.h>
#include <unistd.h>

#include "tests/fs/FsxModel.h"

namespace {

using namespace fsx;

class KernelCalls : public Calls {
  public:
    explicit KernelCalls(fs::path mount) : mount_(std::move(mount)) {}
    long open(const std::string& path, int flags) override {
        return status(::open(on(path).c_str(), flags | O_CLOEXEC, 0644));
    }
    long pwrite(int fd, const Bytes& data, uint64_t offset) override {
        return status(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)));
    }
    long pread(int fd, uint8_t* buffer, uint64_t length, uint64_t offset) override {
        return status(::pread(fd, buffer, length, static_cast<off_t>(offset)));
    }
    long truncate(const std::string& path, int fd, uint64_t size) override {
        const auto length = static_cast<off_t>(size);
        return status(fd < 0 ? ::truncate(on(path).c_str(), length) : ::ftruncate(fd, length));
    }
    long close(int fd) override { return status(::close(fd)); }
    long fsync(int fd, bool dataOnly) override {
        return status(dataOnly ? ::fdatasync(fd) : ::fsync(fd));
    }
    long mkdir(const std::string& path) override { return status(::mkdir(on(path).c_str(), 0755)); }
    long rmdir(const std::string& path) override { return status(::rmdir(on(path).c_str())); }
    long unlink(const std::string& path) override { return status(::unlink(on(path).c_str())); }
    long rename(const std::string& from, const std::string& to, unsigned flags) override {
        return status(::renameat2(AT_FDCWD, on(from).c_str(), AT_FDCWD, on(to).c_str(), flags));
    }
    // AT_STATX_FORCE_SYNC asks the file system, not the kernel's cached attributes.
    Found stat(const std::string& path) override {
        struct statx found = {};
        const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_INO;
        if (::statx(AT_FDCWD, on(path).c_str(), AT_STATX_FORCE_SYNC, mask, &found)) return {errno};
        return {0, S_ISDIR(found.stx_mode), found.stx_size, found.stx_ino};
    }
    Names list(const std::string& folder) override { return namesIn(mount_ / folder); }
    // phonesim-ctl lists the handles being edited; a phone object's node number is handle + 16.
    bool editOpen(int fd) override {
        struct stat attributes {};
        require(::fstat(fd, &attributes) == 0, "fstat: ", errorText(errno));
        char edits[4096] = {};
        if (FILE* ctl = ::popen("\"$PHONESIM_CTL\" edits", "r")) {
            if (!std::fgets(edits, sizeof edits, ctl)) edits[0] = 0;
            ::pclose(ctl);
        }
        require(std::string(edits).starts_with("ok"), "phonesim-ctl edits: ", edits);
        return text(edits, " ").find(text(" ", attributes.st_ino - 16, " ")) != std::string::npos;
    }
    // Written back by msync.
    bool mapWrite(int fd, uint64_t size, uint64_t offset, const Bytes& data) override {
        void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        require(map != MAP_FAILED, "mmap: ", errorText(errno));
        std::memcpy(static_cast<uint8_t*>(map) + offset, data.data(), data.size());
        const int synced = ::msync(map, size, MS_SYNC) == 0 ? 0 : errno;
        ::munmap(map, size);
        require(!synced, "msync: ", errorText(synced));
        return true;
    }

  private:
    std::string on(const std::string& path) const { return mount_ / path; }
    static long status(long result) { return result < 0 ? -errno : result; }

    fs::path mount_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return std::fprintf(stderr, "usage: %s MOUNT STORE MODEL\n", argv[0]), 2;
    KernelCalls calls(argv[1]);
    Fsx fsx(calls, argv[2], 3000);
    if (!fsx.run()) return 1;
    fsx.writeModel(argv[3]);
    return 0;
}
