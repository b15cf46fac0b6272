#pragma once
// A simulated Android phone: an MTP responder with Android's behaviour, seen from the USB side
// (bulk OUT, bulk IN, interrupt IN). The in-process SimulatedTransport and the virtual USB bus
// both drive this class; tests and the demo also change it "from the phone side".

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mtp/MTPCodes.h"
#include "tools/phonesim/LinkModel.h"

namespace phonesim {

using Bytes = std::vector<uint8_t>;

struct StorageConfig {
    std::string description = "Internal shared storage";
    // Bytes. With a folder, 0 means the real file system's size and free space (statvfs);
    // otherwise free space is modelled as capacity minus the sizes of the files stored.
    uint64_t capacity = 64ull << 30;
    // Serve this folder (scanned lazily, large and sparse files fine); none: objects in memory.
    std::optional<std::filesystem::path> folder;
    bool removable = false;  // StorageType RemovableRAM (an SD card) instead of FixedRAM
    bool operator==(const StorageConfig&) const = default;
};

// Selects the transactions a fault hits.
struct FaultTrigger {
    std::optional<mtp::Op> op;  // none: any operation
    int times = 0;              // matching transactions still hit; 0: off; negative: every one
    static FaultTrigger next() { return {std::nullopt, 1}; }  // the next transaction, once
    static FaultTrigger once(mtp::Op op) { return {op, 1}; }
    static FaultTrigger always(mtp::Op op) { return {op, -1}; }
    bool matches(mtp::Op other) const { return !op || *op == other; }
    bool armed() const { return times != 0; }
    bool operator==(const FaultTrigger&) const = default;
};

// Missing features and faults. Settable at any time (setFaults); a change applies from the next
// transfer. Missing operations also disappear from DeviceInfo, which hosts read at open().
struct Faults {
    bool locked = false;       // screen locked: GetStorageIDs lists nothing
    bool noEdit = false;       // no Android edit operations (SendPartialObject..EndEditObject)
    bool no64bit = false;      // no GetPartialObject64
    bool noPropList = false;   // no GetObjectPropList
    bool noPropValue = false;  // no GetObjectPropValue
    // Objects of 4 GiB or more report 0xFFFFFFFF everywhere and GetObjectPropValue(ObjectSize)
    // fails for them: their size cannot be learnt.
    bool sizesUnknownOver4G = false;
    bool unknownLengthData = false;  // data containers announced 0xFFFFFFFF long
    bool storeFull = false;          // every storage reports 0 bytes free
    // Vendor quirk: when the last packet of a GetPartialObject(64) data container is exactly
    // maxPacketSize long, the zero-length packet and the response never come. Only that
    // transaction is lost: the next command is answered.
    bool partialReadHangQuirk = false;
    std::optional<size_t> objectInfoLength;      // ObjectInfo datasets cut to this many bytes
    std::optional<mtp::Response> propListError;  // GetObjectPropList answers this response code
    FaultTrigger wrongTransactionID;          // the response carries another transaction ID
    // A matching transaction's command transfer stalls (or, with stallInDataPhase, the first
    // transfer of its data phase); bulk OUT then stays halted until clearHalt() or reset().
    FaultTrigger stallOut;
    bool stallInDataPhase = false;
    // A matching transaction is carried out, but bulk IN stalls instead of sending its reply
    // (which is lost) and stays halted until clearHalt(Endpoint::bulkIn) or reset().
    FaultTrigger stallIn;
    // The next this many reads of the interrupt endpoint stall; each halts it until
    // clearHalt(Endpoint::interrupt).
    int stallEvents = 0;
    // Unplugged once this many bytes crossed the bulk pipes (both ways) after setFaults().
    std::optional<uint64_t> unplugAfterBytes;
    // A matching transaction is not carried out and answers failResponse instead (a data phase
    // from the host is received and dropped), e.g. MoveObject answered OperationNotSupported.
    FaultTrigger fail;
    mtp::Response failResponse = mtp::Response::GeneralError;
    int failSkip = 0;                // matching transactions carried out before fail hits
    // SendPartialObject stores this many more bytes in all; the data phase that passes it is
    // stored up to there and answered StoreFull: a phone that fills up in the middle of a data
    // phase, although it had announced room for it.
    std::optional<uint64_t> partialDataRoom;
    bool operator==(const Faults&) const = default;
};

struct PhoneConfig {
    std::vector<StorageConfig> storages{StorageConfig{}};
    std::string manufacturer = "Brisvale";
    std::string model = "Simulated Phone";
    std::string deviceVersion = "14";
    std::string serial = "SIM0001";
    std::string friendlyName;  // DeviceFriendlyName; empty: the model
    int maxPacketSize = 512;
    Faults faults;
    LinkModel link;
};

enum class TransferStatus { ok, stall, noDevice, pending };

enum class Endpoint { bulkOut, bulkIn, interrupt };

struct InTransfer {
    TransferStatus status = TransferStatus::ok;
    size_t length = 0;  // bytes placed in the buffer
    // Link model: what the wire needs for this transfer, the phone's turnaround included when
    // it starts an answer. A real bus would complete it this long after it started.
    std::chrono::nanoseconds delay{0};
    bool operator==(const InTransfer&) const = default;
};

// Operations served and bytes moved since the last resetStats().
struct PhoneStats {
    std::map<mtp::Op, uint64_t> operations;   // command containers received, by operation
    uint64_t bytesFromHost = 0;               // bulk OUT
    uint64_t bytesToHost = 0;                 // bulk IN
    uint64_t transfersOut = 0;
    uint64_t transfersIn = 0;  // completed bulk IN transfers, zero-length ones included
    // What the link model charged for all of them: the time a real link would have been busy.
    std::chrono::nanoseconds linkTime{0};
    // Wall time from each answer's last bulk IN transfer to the next command, or to the snapshot
    // while the phone waits: how long the host left the phone waiting between transactions.
    std::chrono::nanoseconds idleTime{0};
    uint64_t count(mtp::Op op) const;
    uint64_t transactions() const;  // all operations together
    bool operator==(const PhoneStats&) const = default;
};

// One object as the phone sees it, for comparing the whole phone against a model.
struct ObjectRecord {
    uint32_t storage = 0;
    std::string path;  // from the storage's top level, '/'-separated
    bool isFolder = false;
    uint64_t size = 0;
    uint32_t handle = 0;  // 0: not handed out yet (its folder was never listed)
    std::time_t modified = 0;
    bool operator==(const ObjectRecord&) const = default;
};

// Behaves as Android's MTP server: one session at a time, which outlives the host process that
// opened it (until reset() or unplug()); object handles count up from 1 as folders are first
// listed and are never reused while the phone exists; host-made changes raise no events.
class SimulatedPhone {
  public:
    // Throws std::invalid_argument for an unusable configuration (no storage folder, ...).
    explicit SimulatedPhone(PhoneConfig config = {});
    ~SimulatedPhone();
    SimulatedPhone(const SimulatedPhone&) = delete;
    SimulatedPhone& operator=(const SimulatedPhone&) = delete;

    // --- USB side. Thread-safe (one internal lock); never blocks. ---
    int maxPacketSize() const;
    // One bulk OUT transfer as the host sent it; containers may span several transfers and are
    // reassembled by ContainerLength. stall: the endpoint is halted (fault).
    TransferStatus bulkOut(std::span<const uint8_t> transfer);
    // The next bulk IN transfer of at most buffer.size() bytes, ending as a real transfer ends
    // (buffer full, or a short or zero-length packet). pending: nothing to send yet.
    InTransfer bulkIn(std::span<uint8_t> buffer);
    // The next event container for the interrupt endpoint, if one is queued (none unplugged or
    // halted).
    std::optional<Bytes> interruptIn();
    // Whether a read of the interrupt endpoint stalls now: it is halted, or the stallEvents
    // fault halts it (taking one of its count).
    bool interruptStalls();
    // Class requests. cancel (0x64): the current transaction is abandoned, queued input dropped.
    void cancel();
    // Device reset (0x66): as cancel, and the session is closed (open edits are committed).
    void reset();
    // Get device status (0x67): OK, or DeviceBusy while a data phase is being received.
    mtp::Response deviceStatus() const;
    // CLEAR_FEATURE(ENDPOINT_HALT).
    void clearHalt(Endpoint endpoint = Endpoint::bulkOut);
    void unplug();  // every later transfer answers noDevice
    bool isUnplugged() const;
    void replug();  // attached again: no session, nothing queued, faults kept
    LinkModel link() const;
    void setLink(LinkModel link);

    // --- Phone side: tests and the demo. Thread-safe. Paths are relative to a storage's top
    // level, '/'-separated, matched case-insensitively. Misuse (unknown storage, a file in the
    // way of a folder, an existing object) throws std::invalid_argument. Changes in folders the
    // host has listed get handles at once and queue ObjectAdded / ObjectRemoved events. ---
    uint32_t storageID(size_t index) const;  // (index + 1) << 16 | 1
    std::vector<uint32_t> storageIDs() const;
    void addFolder(uint32_t storage, std::string_view path);  // missing parents created too
    void addFile(uint32_t storage, std::string_view path, Bytes content,
                 std::optional<std::time_t> modified = std::nullopt);
    void addFileFromDisk(uint32_t storage, std::string_view path,
                         const std::filesystem::path& source);
    // A sparse file of size bytes (zeros); folder-backed storages only.
    void addSparseFile(uint32_t storage, std::string_view path, uint64_t size);
    bool removeObject(uint32_t storage, std::string_view path);  // false: no such object
    // Whole content of a file; none for a folder or a missing path. Loads it into memory.
    std::optional<Bytes> readFile(uint32_t storage, std::string_view path) const;
    std::optional<uint32_t> handleOf(uint32_t storage, std::string_view path) const;
    // Every object of every storage, depth first, folders before their content. Scans folders
    // of disk-backed storages without handing out handles.
    std::vector<ObjectRecord> listAll() const;
    uint64_t freeSpace(uint32_t storage) const;
    bool isSessionOpen() const;
    std::vector<uint32_t> openEdits() const;  // handles with an edit in progress

    Faults faults() const;
    void setFaults(Faults faults);
    // Changes some fields atomically, e.g. updateFaults([](Faults& f) { f.locked = true; }).
    void updateFaults(const std::function<void(Faults&)>& change);

    PhoneStats stats() const;
    void resetStats();
    // {"operations":{"0x1001":1,...},"bytesFromHost":..,"bytesToHost":..,"transfersOut":..,
    //  "transfersIn":..,"linkMicroseconds":..}
    std::string statsJson() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace phonesim
