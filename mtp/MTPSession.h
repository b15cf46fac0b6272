#pragma once
// An MTP session over a BulkTransport: transactions and the object-level queries.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "mtp/BulkTransport.h"
#include "mtp/ByteWriter.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPDate.h"

namespace mtp {

struct MTPStorage {
    uint32_t id = 0;
    std::string name;
    uint64_t capacity = 0;  // bytes
    uint64_t free = 0;      // bytes
    bool operator==(const MTPStorage&) const = default;
};

struct MTPEntry {
    uint32_t handle = 0;
    std::string name;
    uint64_t size = 0;  // bytes; 0xFFFFFFFF with sizeUnknown when the 64-bit size is not known
    bool isFolder = false;
    std::optional<Timestamp> modified;
    bool sizeUnknown = false;
    bool operator==(const MTPEntry&) const = default;
};

// Receives each chunk of a data phase straight from the session's receive buffer; the span is
// valid only during the call.
using Sink = std::function<void(std::span<const uint8_t>)>;

// Observer of every finished transaction: op, command parameters, bytes sent in the data phase,
// elapsed seconds (monotonic clock). Called on the calling thread, inside the transaction;
// whatever it throws is ignored.
using Trace =
    std::function<void(Op op, std::span<const uint32_t> params, size_t outBytes, double seconds)>;

// Not thread-safe and not re-entrant: its owner serialises every call. Once a write to the phone
// has failed the session is stalled for good and every call throws MTPTransportError
// "device stopped responding; reconnect it" without touching USB. Destroying it sends nothing.
class MTPSession {
  public:
    static constexpr size_t bufferSize = 1 << 20;
    // The most a data phase without a sink may bring (bytes): ample for the property list of a
    // folder of 100,000 objects.
    static constexpr size_t maxCollected = 64 << 20;

    // Takes ownership of the transport; allocates the 1 MiB receive buffer; sends nothing.
    explicit MTPSession(std::unique_ptr<BulkTransport> transport);
    MTPSession(const MTPSession&) = delete;
    MTPSession& operator=(const MTPSession&) = delete;

    // OpenSession(1) (SessionAlreadyOpen counts as success), then GetDeviceInfo.
    // Throws MTPError / MTPTransportError.
    void open();

    [[nodiscard]] bool supports(Op op) const { return operations_.contains(op); }
    // All seven operations that writing needs.
    [[nodiscard]] bool supportsWriting() const;
    const std::set<Op>& operations() const { return operations_; }

    // The one transaction primitive. params: at most 5. dataOut: a computer-to-phone data phase
    // (an empty span is a header-only data container); no value means no data phase. With a
    // sink, each received payload chunk goes to it and the result is empty; otherwise the
    // payload is returned, up to maxCollected bytes (beyond: MTPTransportError "data phase
    // longer than 64 MiB"). Throws MTPError for a non-OK response; MTPTransportError (or what
    // the transport or the sink throws) otherwise, after draining the input. More than 5 parameters
    // or a data phase too large for one container throw MTPTransportError before anything is
    // sent.
    Bytes transact(Op op, const std::vector<uint32_t>& params = {},
                   std::optional<std::span<const uint8_t>> dataOut = std::nullopt,
                   const Sink& sink = nullptr);

    // Parameters of the last response parsed (read before the next transaction).
    const std::vector<uint32_t>& responseParams() const { return responseParams_; }
    // ID of the last transaction started; 0 before the first.
    uint32_t transactionID() const { return transactionID_; }
    bool isStalled() const { return isStalled_; }
    void setTrace(Trace trace) { trace_ = std::move(trace); }
    BulkTransport& transport() { return *transport_; }

    // GetStorageIDs then GetStorageInfo for each, in the phone's order.
    std::vector<MTPStorage> storages();
    // GetObjectHandles(storage, 0, parent) then entry() for each. parent RootParent = top level.
    // An object the phone no longer knows (InvalidObjectHandle) is left out.
    std::vector<MTPEntry> list(uint32_t storage, uint32_t parent);
    // Four GetObjectPropList requests (name, format, size, date) for the children of parent,
    // in the order handles first occur; parent itself is never among them. A 32-bit size of
    // 0xFFFFFFFF follows entry()'s 64-bit size rule. Any failing request throws; no partial
    // result.
    std::vector<MTPEntry> listByPropList(uint32_t parent);
    // GetObjectInfo then the 64-bit size rule: a size of 0xFFFFFFFF is asked for again with
    // GetObjectPropValue(ObjectSize) when supported; when that cannot give it (any error is
    // swallowed) the entry keeps 0xFFFFFFFF with sizeUnknown.
    MTPEntry entry(uint32_t handle);
    // Reads up to length bytes at offset into destination (bytes past its end are dropped);
    // returns the bytes copied, fewer when the object ends. Streams from the receive buffer; no
    // allocation. Without GetPartialObject64, a range past 4 GB throws MTPTransportError
    // "device cannot read past 4 GB" before sending anything.
    [[nodiscard]] size_t readPartial(uint32_t handle, uint64_t offset, uint32_t length,
                       std::span<uint8_t> destination);

  private:
    Bytes run(Op op, std::span<const uint32_t> params,
              std::optional<std::span<const uint8_t>> dataOut, const Sink& sink);
    void send(Op op, std::span<const uint32_t> params,
              std::optional<std::span<const uint8_t>> dataOut);
    void receive(Op op, const Sink& sink, Bytes& result);
    size_t readOnce();
    size_t readSkippingZeroLength();
    // The 64-bit size rule for an entry whose size is capped at 0xFFFFFFFF.
    void learnLargeSize(MTPEntry& entry);

    std::unique_ptr<BulkTransport> transport_;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t transactionID_ = 0;
    std::set<Op> operations_;
    std::vector<uint32_t> responseParams_;
    bool isStalled_ = false;
    Trace trace_;
};

}  // namespace mtp
