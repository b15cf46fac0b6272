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

    mutable std::mutex mutex;
    PhoneConfig config;
    Faults faults;
    LinkModel link;
    ObjectStore store;
    PhoneStats stats;
    uint64_t bytesSinceFaults = 0;
    bool unplugged = false;
    bool outHalted = false;
    bool inHalted = false;
    bool eventsHalted = false;

    bool sessionOpen = false;
    uint32_t sessionID = 0;
    std::set<uint32_t> edits;
    std::optional<PendingObject> pendingObject;
    std::string friendlyName;
    std::string syncPartner;

    // Bulk OUT reassembly.
    Bytes outBuffer;
    struct Awaiting {
        Command command;
        Receiver receiver;
        bool wrongTransactionID = false;
        bool noAnswer = false;
        bool stallData = false;
    };
    std::optional<Awaiting> awaiting;  // a command whose data phase is expected
    struct DataIn {
        std::optional<uint64_t> expected;  // payload bytes; none: unknown length
        uint64_t received = 0;
    };
    std::optional<DataIn> dataIn;

    std::deque<InContainer> inQueue;
    std::deque<Bytes> events;

    // USB layer (SimulatedPhone.cpp).
    TransferStatus bulkOut(std::span<const uint8_t> transfer);
    InTransfer bulkIn(std::span<uint8_t> buffer);
    void feed(std::span<const uint8_t> transfer);
    void onCommand(std::span<const uint8_t> container);
    void finishData();
    void abortTransaction();
    void closeSession();
    void queueReply(const Command& command, Reply reply, bool wrongTransactionID);
    void queueEvent(mtp::Event code, uint32_t handle);
    bool crossesUnplugLimit(size_t bytes);

    // Responder (Responder.cpp).
    static bool hasDataOut(mtp::Op op);
    std::vector<mtp::Op> operationsSupported() const;
    bool isSupported(mtp::Op op) const;
    Reply execute(const Command& command);
    Receiver receiverFor(const Command& command);

    Storage* visibleStorage(uint32_t id);
    Node* visibleObject(uint32_t handle);
    uint64_t freeOf(Storage& storage);
    void pruneEdits();
    Storage& storageOrThrow(uint32_t id);
    Node& folderForPath(Storage& storage, std::string_view path);

  private:
    Reply dispatch(const Command& command);
    Reply getDeviceInfo();
    Reply openSession(const Command& c);
    Reply getStorageIDs();
    Reply getStorageInfo(const Command& c);
    Reply getObjectHandles(const Command& c, bool countOnly);
    Reply getObjectInfo(const Command& c);
    Reply getObject(const Command& c);
    Reply getPartialObject(const Command& c, bool wide);
    Reply deleteObject(const Command& c);
    Reply truncateObject(const Command& c);
    Reply beginEdit(const Command& c);
    Reply endEdit(const Command& c);
    Reply moveOrCopy(const Command& c, bool copy);
    Reply getObjectPropsSupported();
    Reply getObjectPropDesc(const Command& c);
    Reply getObjectPropValue(const Command& c);
    Reply getObjectPropList(const Command& c);
    Reply getDevicePropDesc(const Command& c, bool valueOnly);
    Reply sendObjectInfo(const Command& c, const Bytes& data);
    Reply setObjectPropValue(const Command& c, const Bytes& data);
    Reply setDevicePropValue(const Command& c, const Bytes& data);
    Receiver sendObject();
    Receiver sendPartialObject(const Command& c);
    Receiver buffered(std::function<Reply(const Bytes&)> handler);
    void writeProperty(Bytes& out, Node& node, mtp::Prop prop);
    mtp::DataType propertyType(Node& node, mtp::Prop prop) const;
};

}  // namespace phonesim
