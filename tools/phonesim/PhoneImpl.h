#pragma once
// Inside of SimulatedPhone: the USB layer (SimulatedPhone.cpp) and the responder's operations
// (Responder.cpp) share this state under one lock.

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "mtp/ThreadSafety.h"
#include "tools/phonesim/ObjectStore.h"
#include "tools/phonesim/SimulatedPhone.h"

namespace phonesim {

struct Reply {
    mtp::Response code = mtp::Response::OK;
    std::vector<uint32_t> params;
    std::optional<Payload> data;  // a data phase to the host, sent before the response
};

struct Command {
    mtp::Op op{};
    uint32_t transactionID = 0;
    std::vector<uint32_t> params;
    uint32_t param(size_t i) const { return i < params.size() ? params[i] : 0; }
};

// Consumes a data phase from the host as it arrives.
struct Receiver {
    std::function<void(std::optional<uint64_t> announced)> begin;  // payload bytes if known
    std::function<void(std::span<const uint8_t>)> chunk;
    std::function<Reply()> end;
    std::function<void()> abort;  // the transaction was abandoned midway
};

// A file announced by SendObjectInfo, created by the SendObject that must follow.
struct PendingObject {
    uint32_t storage = 0;
    uint32_t parent = 0;  // handle; 0: top level
    std::string name;
    mtp::Format format = mtp::Format::Undefined;
    uint32_t handle = 0;
};

// One container queued for bulk IN, cut into transfers as the host reads.
struct InContainer {
    Bytes header;  // the whole container when there is no payload
    Payload payload;
    uint64_t wireLength = 0;
    uint64_t sent = 0;
    bool firstOfReply = false;  // carries the link's per-transaction latency
    bool zeroLengthOwed = false;
    bool hangAtEnd = false;  // quirk: the end of this container never comes
    bool stuck = false;
};

struct SimulatedPhone::Impl {
    explicit Impl(PhoneConfig config);

    mutable mtp::Mutex mutex;
    PhoneConfig config;
    Faults faults GUARDED_BY(mutex);
    LinkModel link GUARDED_BY(mutex);
    ObjectStore store GUARDED_BY(mutex);
    PhoneStats stats GUARDED_BY(mutex);
    std::optional<std::chrono::steady_clock::time_point> answeredAt GUARDED_BY(mutex);
    uint64_t bytesSinceFaults GUARDED_BY(mutex) = 0;
    bool unplugged GUARDED_BY(mutex) = false;
    bool outHalted GUARDED_BY(mutex) = false;
    bool inHalted GUARDED_BY(mutex) = false;
    bool eventsHalted GUARDED_BY(mutex) = false;

    bool sessionOpen GUARDED_BY(mutex) = false;
    uint32_t sessionID GUARDED_BY(mutex) = 0;
    std::set<uint32_t> edits GUARDED_BY(mutex);
    std::optional<PendingObject> pendingObject GUARDED_BY(mutex);
    std::string friendlyName GUARDED_BY(mutex);
    std::string syncPartner GUARDED_BY(mutex);

    // Bulk OUT reassembly.
    Bytes outBuffer GUARDED_BY(mutex);
    struct Awaiting {
        Command command;
        Receiver receiver;
        bool wrongTransactionID = false;
        bool noAnswer = false;
        bool stallData = false;
    };
    std::optional<Awaiting> awaiting GUARDED_BY(mutex);  // a command whose data phase is expected
    struct DataIn {
        std::optional<uint64_t> expected;  // payload bytes; none: unknown length
        uint64_t received = 0;
    };
    std::optional<DataIn> dataIn GUARDED_BY(mutex);

    std::deque<InContainer> inQueue GUARDED_BY(mutex);
    std::deque<Bytes> events GUARDED_BY(mutex);

    // USB layer (SimulatedPhone.cpp).
    TransferStatus bulkOut(std::span<const uint8_t> transfer) REQUIRES(mutex);
    InTransfer bulkIn(std::span<uint8_t> buffer) REQUIRES(mutex);
    void feed(std::span<const uint8_t> transfer) REQUIRES(mutex);
    void onCommand(std::span<const uint8_t> container) REQUIRES(mutex);
    void finishData() REQUIRES(mutex);
    void abortTransaction() REQUIRES(mutex);
    void closeSession() REQUIRES(mutex);
    void queueReply(const Command& command, Reply reply, bool wrongTransactionID) REQUIRES(mutex);
    void queueEvent(mtp::Event code, uint32_t handle) REQUIRES(mutex);
    bool crossesUnplugLimit(size_t bytes) REQUIRES(mutex);

    // Responder (Responder.cpp).
    static bool hasDataOut(mtp::Op op);
    std::vector<mtp::Op> operationsSupported() const REQUIRES(mutex);
    bool isSupported(mtp::Op op) const REQUIRES(mutex);
    Reply execute(const Command& command) REQUIRES(mutex);
    Receiver receiverFor(const Command& command) REQUIRES(mutex);

    Storage* visibleStorage(uint32_t id) REQUIRES(mutex);
    Node* visibleObject(uint32_t handle) REQUIRES(mutex);
    uint64_t freeOf(Storage& storage) REQUIRES(mutex);
    void pruneEdits() REQUIRES(mutex);
    Storage& storageOrThrow(uint32_t id) REQUIRES(mutex);
    Node& folderForPath(Storage& storage, std::string_view path) REQUIRES(mutex);

  private:
    Reply dispatch(const Command& command) REQUIRES(mutex);
    Reply getDeviceInfo() REQUIRES(mutex);
    Reply openSession(const Command& c) REQUIRES(mutex);
    Reply getStorageIDs() REQUIRES(mutex);
    Reply getStorageInfo(const Command& c) REQUIRES(mutex);
    Reply getObjectHandles(const Command& c, bool countOnly) REQUIRES(mutex);
    Reply getObjectInfo(const Command& c) REQUIRES(mutex);
    Reply getObject(const Command& c) REQUIRES(mutex);
    Reply getPartialObject(const Command& c, bool wide) REQUIRES(mutex);
    Reply deleteObject(const Command& c) REQUIRES(mutex);
    Reply truncateObject(const Command& c) REQUIRES(mutex);
    Reply beginEdit(const Command& c) REQUIRES(mutex);
    Reply endEdit(const Command& c) REQUIRES(mutex);
    Reply moveOrCopy(const Command& c, bool copy) REQUIRES(mutex);
    Reply getObjectPropsSupported() REQUIRES(mutex);
    Reply getObjectPropDesc(const Command& c) REQUIRES(mutex);
    Reply getObjectPropValue(const Command& c) REQUIRES(mutex);
    Reply getObjectPropList(const Command& c) REQUIRES(mutex);
    Reply getDevicePropDesc(const Command& c, bool valueOnly) REQUIRES(mutex);
    Reply sendObjectInfo(const Command& c, const Bytes& data) REQUIRES(mutex);
    Reply setObjectPropValue(const Command& c, const Bytes& data) REQUIRES(mutex);
    Reply setDevicePropValue(const Command& c, const Bytes& data) REQUIRES(mutex);
    Receiver sendObject() REQUIRES(mutex);
    Receiver sendPartialObject(const Command& c) REQUIRES(mutex);
    Receiver buffered(std::function<Reply(const Bytes&)> handler) REQUIRES(mutex);
    void writeProperty(Bytes& out, Node& node, mtp::Prop prop) REQUIRES(mutex);
    mtp::DataType propertyType(Node& node, mtp::Prop prop) const REQUIRES(mutex);
};

}  // namespace phonesim
