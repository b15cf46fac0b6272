#pragma once
// The entry of the file system: decides whether a block device carries a placeholder marker
// (probe), turns it into a served Volume (load: marker, USB device, transport, session, volume)
// and takes the volume down again (unload). The FUSE host (fs/FuseHost.h) serves what load
// returns; mount.mtpfs (fs/mount_main.cpp) drives the three steps.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fs/Volume.h"
#include "mtp/BulkTransport.h"
#include "mtp/PlaceholderMarker.h"
#include "mtp/USBDeviceRecord.h"

namespace kestrum {

// The block device handed to the file system, as the loader reads it.
class BlockResource {
  public:
    virtual ~BlockResource() = default;
    // Logical block size in bytes; may be below 512.
    virtual uint32_t blockSize() const = 0;
    // Reads up to buffer.size() bytes at offset (bytes from the start of the device); returns
    // the count read, less only at the end. Throws std::system_error.
    virtual size_t read(uint64_t offset, std::span<uint8_t> buffer) const = 0;
};

// A block device node (a partition such as /dev/loop0p1) or a regular file (512-byte blocks).
// When the node may not be opened (EACCES, EPERM) and is a loop device or a partition of one,
// it is read through the loop's backing file at the loop's offset plus the partition's start,
// with the loop's logical block size: an unprivileged user may own the image but not the node.
class DeviceResource final : public BlockResource {
  public:
    // Throws std::system_error naming the path when neither way can be opened.
    static std::unique_ptr<DeviceResource> open(const std::filesystem::path& path);
    ~DeviceResource() override;
    DeviceResource(const DeviceResource&) = delete;
    DeviceResource& operator=(const DeviceResource&) = delete;

    uint32_t blockSize() const override { return blockSize_; }
    size_t read(uint64_t offset, std::span<uint8_t> buffer) const override;
    // The file actually read: the node itself, or the loop's backing file.
    const std::filesystem::path& source() const { return source_; }
    // Where the device starts inside source() (0 for the node itself), bytes.
    uint64_t base() const { return base_; }

  private:
    DeviceResource(int fd, std::filesystem::path source, uint64_t base, uint32_t blockSize)
        : fd_(fd), source_(std::move(source)), base_(base), blockSize_(blockSize) {}
    int fd_;
    std::filesystem::path source_;
    uint64_t base_;
    uint32_t blockSize_;
};

// What probe replies: a usable resource carries the marker's name and container ID.
struct ProbeResult {
    bool recognized = false;
    std::string name;
    mtp::UUID containerID;
    bool operator==(const ProbeResult&) const = default;
};

// What load replies: the served volume, or a POSIX error (EINVAL: no marker; EIO: the phone
// cannot be served) with the error's description for the caller's own message.
struct LoadReply {
    Volume* volume = nullptr;  // owned by the MTPFileSystem until unload
    int error = 0;
    std::string description;  // empty on success and for EINVAL
};

// Choices of the mount that the marker does not carry.
struct LoadOptions {
    bool readOnly = false;  // "-o ro": serve read-only whatever the marker asks
    // Called on the loading thread as each step ends ("marker", "discovery", "transport",
    // "session", "storages"), for a timing trace; may be empty.
    std::function<void(const char* step)> stepDone = {};
};

// Holds at most one served volume. probe and load run on the caller's thread and do USB work
// synchronously; unload waits for the volume's queue. Not thread-safe itself: one caller.
class MTPFileSystem {
  public:
    // How load reaches the phones. system() uses sysfs discovery and the libusb transport.
    struct Phones {
        // Attached USB devices in enumeration order.
        std::function<std::vector<mtp::USBDeviceRecord>()> attached;
        // Opens the device's MTP interface; throws MTPTransportError.
        std::function<std::unique_ptr<mtp::BulkTransport>(const mtp::USBDeviceRecord&)> open;
        static Phones system();
    };

    explicit MTPFileSystem(Phones phones = Phones::system());
    // Drops the volume without sending anything (unload is the explicit end).
    ~MTPFileSystem();
    MTPFileSystem(const MTPFileSystem&) = delete;
    MTPFileSystem& operator=(const MTPFileSystem&) = delete;

    // One block of max(blockSize, 512) bytes at offset 0, decoded; none after a failed or short
    // read or without a valid marker. Never throws.
    static std::optional<mtp::PlaceholderMarker> readMarker(const BlockResource& resource);

    // Never fails: not recognized without a marker. No effect on state.
    ProbeResult probe(const BlockResource& resource) const;

    // Reads the marker again, finds the attached device whose id derives the marker's container
    // ID, opens transport and session and creates the volume (writable only when the marker asks
    // for it, options allow it and the phone supports editing). Success logs "serving <name>
    // (<serial>) read-write|read-only" and replaces any volume held. Failure logs "load <serial>
    // failed: <error>" (except for a missing marker) and leaves the state as it was.
    LoadReply load(const BlockResource& resource, LoadOptions options = {});

    // Shuts the volume down on its queue (ends edits, CloseSession, releases the interface) and
    // drops it. Never fails; does nothing without a volume.
    void unload();

    Volume* volume() const { return volume_.get(); }

  private:
    Phones phones_;
    std::unique_ptr<Volume> volume_;
};

}  // namespace kestrum
