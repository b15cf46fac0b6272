// The MTP operations as Android's MTP server answers them.

#include <algorithm>
#include <array>
#include <new>
#include <system_error>
#include <utility>

#include "tools/phonesim/PhoneImpl.h"
#include "tools/phonesim/WireFormat.h"

namespace phonesim {

namespace {

namespace op {
constexpr uint16_t GetDeviceInfo = 0x1001;
constexpr uint16_t OpenSession = 0x1002;
constexpr uint16_t CloseSession = 0x1003;
constexpr uint16_t GetStorageIDs = 0x1004;
constexpr uint16_t GetStorageInfo = 0x1005;
constexpr uint16_t GetNumObjects = 0x1006;
constexpr uint16_t GetObjectHandles = 0x1007;
constexpr uint16_t GetObjectInfo = 0x1008;
constexpr uint16_t GetObject = 0x1009;
constexpr uint16_t GetThumb = 0x100A;
constexpr uint16_t DeleteObject = 0x100B;
constexpr uint16_t SendObjectInfo = 0x100C;
constexpr uint16_t SendObject = 0x100D;
constexpr uint16_t GetDevicePropDesc = 0x1014;
constexpr uint16_t GetDevicePropValue = 0x1015;
constexpr uint16_t SetDevicePropValue = 0x1016;
constexpr uint16_t ResetDevicePropValue = 0x1017;
constexpr uint16_t MoveObject = 0x1019;
constexpr uint16_t CopyObject = 0x101A;
constexpr uint16_t GetPartialObject = 0x101B;
constexpr uint16_t GetPartialObject64 = 0x95C1;
constexpr uint16_t SendPartialObject = 0x95C2;
constexpr uint16_t TruncateObject = 0x95C3;
constexpr uint16_t BeginEditObject = 0x95C4;
constexpr uint16_t EndEditObject = 0x95C5;
constexpr uint16_t GetObjectPropsSupported = 0x9801;
constexpr uint16_t GetObjectPropDesc = 0x9802;
constexpr uint16_t GetObjectPropValue = 0x9803;
constexpr uint16_t SetObjectPropValue = 0x9804;
constexpr uint16_t GetObjectPropList = 0x9805;
constexpr uint16_t GetObjectReferences = 0x9810;
constexpr uint16_t SetObjectReferences = 0x9811;
}  // namespace op

namespace rc {
constexpr uint16_t OK = 0x2001;
constexpr uint16_t GeneralError = 0x2002;
constexpr uint16_t SessionNotOpen = 0x2003;
constexpr uint16_t OperationNotSupported = 0x2005;
constexpr uint16_t ParameterNotSupported = 0x2006;
constexpr uint16_t InvalidStorageID = 0x2008;
constexpr uint16_t InvalidObjectHandle = 0x2009;
constexpr uint16_t DevicePropNotSupported = 0x200A;
constexpr uint16_t StoreFull = 0x200C;
constexpr uint16_t AccessDenied = 0x200F;
constexpr uint16_t NoThumbnailPresent = 0x2010;
constexpr uint16_t NoValidObjectInfo = 0x2015;
constexpr uint16_t InvalidParentObject = 0x201A;
constexpr uint16_t InvalidParameter = 0x201D;
constexpr uint16_t SessionAlreadyOpen = 0x201E;
constexpr uint16_t InvalidObjectPropCode = 0xA801;
constexpr uint16_t SpecificationByGroupUnsupported = 0xA807;
constexpr uint16_t SpecificationByDepthUnsupported = 0xA808;
}  // namespace rc

namespace prop {
constexpr uint16_t StorageID = 0xDC01;
constexpr uint16_t ObjectFormat = 0xDC02;
constexpr uint16_t ProtectionStatus = 0xDC03;
constexpr uint16_t ObjectSize = 0xDC04;
constexpr uint16_t ObjectFileName = 0xDC07;
constexpr uint16_t DateModified = 0xDC09;
constexpr uint16_t ParentObject = 0xDC0B;
constexpr uint16_t PersistentUID = 0xDC41;
constexpr uint16_t Name = 0xDC44;
}  // namespace prop

namespace type {
constexpr uint16_t UINT8 = 0x0002;
constexpr uint16_t UINT16 = 0x0004;
constexpr uint16_t UINT32 = 0x0006;
constexpr uint16_t UINT64 = 0x0008;
constexpr uint16_t UINT128 = 0x000A;
constexpr uint16_t STR = 0xFFFF;
}  // namespace type

constexpr uint16_t Association = 0x3001;
constexpr uint32_t RootParent = 0xFFFFFFFF;
constexpr uint64_t fourGiB = 1ull << 32;

constexpr std::array<uint16_t, 9> objectProperties = {
    prop::StorageID,    prop::ObjectFormat,   prop::ProtectionStatus,
    prop::ObjectSize,   prop::ObjectFileName, prop::DateModified,
    prop::ParentObject, prop::PersistentUID,  prop::Name,
};

constexpr uint16_t FriendlyName = 0xD402;
constexpr uint16_t SyncPartner = 0xD401;
constexpr uint16_t BatteryLevel = 0x5001;
constexpr uint16_t PerceivedDeviceType = 0xD407;
constexpr uint8_t batteryPercent = 80;
constexpr uint32_t mobileHandset = 3;

bool isObjectProperty(uint32_t code) {
    return std::find(objectProperties.begin(), objectProperties.end(), code) !=
           objectProperties.end();
}

// The response code of the fail fault when it hits op (consuming one hit), else none.
std::optional<uint16_t> injectedFailure(Faults& faults, uint16_t op) {
    FaultTrigger& trigger = faults.fail;
    if (!trigger.armed() || (trigger.op != 0 && trigger.op != op)) return std::nullopt;
    if (faults.failSkip > 0) {
        --faults.failSkip;
        return std::nullopt;
    }
    if (trigger.times > 0) --trigger.times;
    return faults.failResponse;
}

Reply code(uint16_t response) {
    return Reply{response, {}, std::nullopt};
}

Reply withData(Bytes bytes, std::vector<uint32_t> params = {}) {
    return Reply{rc::OK, std::move(params), Payload::of(std::move(bytes))};
}

uint64_t combine(uint32_t low, uint32_t high) {
    return static_cast<uint64_t>(high) << 32 | low;
}

}  // namespace

bool SimulatedPhone::Impl::hasDataOut(uint16_t code) {
    switch (code) {
        case op::SendObjectInfo:
        case op::SendObject:
        case op::SetDevicePropValue:
        case op::SendPartialObject:
        case op::SetObjectPropValue:
        case op::SetObjectReferences:
        case 0x9806:  // SetObjectPropList
        case 0x9808:  // SendObjectPropList
            return true;
        default:
            return false;
    }
}

std::vector<uint16_t> SimulatedPhone::Impl::operationsSupported() const {
    std::vector<uint16_t> ops = {
        op::GetDeviceInfo,
        op::OpenSession,
        op::CloseSession,
        op::GetStorageIDs,
        op::GetStorageInfo,
        op::GetNumObjects,
        op::GetObjectHandles,
        op::GetObjectInfo,
        op::GetObject,
        op::GetThumb,
        op::DeleteObject,
        op::SendObjectInfo,
        op::SendObject,
        op::GetDevicePropDesc,
        op::GetDevicePropValue,
        op::SetDevicePropValue,
        op::ResetDevicePropValue,
        op::GetPartialObject,
        op::GetObjectPropsSupported,
        op::GetObjectPropDesc,
        op::GetObjectPropValue,
        op::SetObjectPropValue,
        op::GetObjectPropList,
        op::GetObjectReferences,
        op::SetObjectReferences,
        op::GetPartialObject64,
        op::SendPartialObject,
        op::TruncateObject,
        op::BeginEditObject,
        op::EndEditObject,
        op::MoveObject,
        op::CopyObject,
    };
    std::erase_if(ops, [this](uint16_t code) REQUIRES(mutex) { return !isSupported(code); });
    return ops;
}

bool SimulatedPhone::Impl::isSupported(uint16_t code) const {
    switch (code) {
        case op::GetPartialObject64:
            return !faults.no64bit;
        case op::SendPartialObject:
        case op::TruncateObject:
        case op::BeginEditObject:
        case op::EndEditObject:
            return !faults.noEdit;
        case op::GetObjectPropList:
            return !faults.noPropList;
        case op::GetObjectPropValue:
            return !faults.noPropValue;
        default:
            return true;
    }
}

Storage* SimulatedPhone::Impl::visibleStorage(uint32_t id) {
    return faults.locked ? nullptr : store.storage(id);
}

Node* SimulatedPhone::Impl::visibleObject(uint32_t handle) {
    if (faults.locked) return nullptr;
    Node* node = store.object(handle);
    return node && !node->incomplete ? node : nullptr;
}

uint64_t SimulatedPhone::Impl::freeOf(Storage& storage) {
    return faults.storeFull ? 0 : store.freeSpace(storage);
}

void SimulatedPhone::Impl::pruneEdits() {
    std::erase_if(
        edits, [this](uint32_t handle) REQUIRES(mutex) { return store.object(handle) == nullptr; });
}

Reply SimulatedPhone::Impl::execute(const Command& command) {
    if (auto failure = injectedFailure(faults, command.op)) return code(*failure);
    try {
        return dispatch(command);
    } catch (const std::system_error&) {
        return code(rc::GeneralError);  // the disk behind a storage failed
    } catch (const std::bad_alloc&) {
        return code(rc::GeneralError);
    }
}

Reply SimulatedPhone::Impl::dispatch(const Command& c) {
    if (c.op != op::GetDeviceInfo && c.op != op::OpenSession && !sessionOpen) {
        return code(rc::SessionNotOpen);
    }
    if (!isSupported(c.op)) return code(rc::OperationNotSupported);
    switch (c.op) {
        case op::GetDeviceInfo:
            return getDeviceInfo();
        case op::OpenSession:
            return openSession(c);
        case op::CloseSession:
            closeSession();
            return code(rc::OK);
        case op::GetStorageIDs:
            return getStorageIDs();
        case op::GetStorageInfo:
            return getStorageInfo(c);
        case op::GetNumObjects:
            return getObjectHandles(c, true);
        case op::GetObjectHandles:
            return getObjectHandles(c, false);
        case op::GetObjectInfo:
            return getObjectInfo(c);
        case op::GetObject:
            return getObject(c);
        case op::GetThumb:
            return code(visibleObject(c.param(0)) ? rc::NoThumbnailPresent
                                                  : rc::InvalidObjectHandle);
        case op::DeleteObject:
            return deleteObject(c);
        case op::GetDevicePropDesc:
            return getDevicePropDesc(c, false);
        case op::GetDevicePropValue:
            return getDevicePropDesc(c, true);
        case op::ResetDevicePropValue:
            return code(rc::OK);
        case op::MoveObject:
            return moveOrCopy(c, false);
        case op::CopyObject:
            return moveOrCopy(c, true);
        case op::GetPartialObject:
            return getPartialObject(c, false);
        case op::GetPartialObject64:
            return getPartialObject(c, true);
        case op::TruncateObject:
            return truncateObject(c);
        case op::BeginEditObject:
            return beginEdit(c);
        case op::EndEditObject:
            return endEdit(c);
        case op::GetObjectPropsSupported:
            return getObjectPropsSupported();
        case op::GetObjectPropDesc:
            return getObjectPropDesc(c);
        case op::GetObjectPropValue:
            return getObjectPropValue(c);
        case op::GetObjectPropList:
            return getObjectPropList(c);
        case op::GetObjectReferences: {
            if (!visibleObject(c.param(0))) return code(rc::InvalidObjectHandle);
            Bytes out;
            WireWriter(out).au32({});
            return withData(std::move(out));
        }
        default:
            return code(rc::OperationNotSupported);
    }
}

// --- Data phases from the host ---

Receiver SimulatedPhone::Impl::buffered(std::function<Reply(const Bytes&)> handler) {
    // Datasets are small; a host that sends megabytes here gets an error, not our memory.
    constexpr size_t limit = 1 << 20;
    auto data = std::make_shared<Bytes>();
    auto overflow = std::make_shared<bool>(false);
    Receiver r;
    r.chunk = [data, overflow](std::span<const uint8_t> bytes) {
        if (data->size() + bytes.size() > limit) {
            *overflow = true;
            return;
        }
        data->insert(data->end(), bytes.begin(), bytes.end());
    };
    r.end = [data, overflow, handler] {
        if (*overflow) return code(rc::InvalidParameter);
        try {
            return handler(*data);
        } catch (const std::system_error&) {
            return code(rc::GeneralError);
        }
    };
    return r;
}

Receiver SimulatedPhone::Impl::receiverFor(const Command& c) {
    auto gate = [this, c]() REQUIRES(mutex) -> std::optional<uint16_t> {
        if (!sessionOpen) return rc::SessionNotOpen;
        if (!isSupported(c.op)) return rc::OperationNotSupported;
        return injectedFailure(faults, c.op);
    };
    if (auto refused = gate()) {
        uint16_t response = *refused;
        return buffered([response](const Bytes&) { return code(response); });
    }
    switch (c.op) {
        case op::SendObjectInfo:
            return buffered([this, c](const Bytes& data)
                                REQUIRES(mutex) { return sendObjectInfo(c, data); });
        case op::SendObject:
            return sendObject();
        case op::SendPartialObject:
            return sendPartialObject(c);
        case op::SetObjectPropValue:
            return buffered([this, c](const Bytes& data)
                                REQUIRES(mutex) { return setObjectPropValue(c, data); });
        case op::SetDevicePropValue:
            return buffered([this, c](const Bytes& data)
                                REQUIRES(mutex) { return setDevicePropValue(c, data); });
        case op::SetObjectReferences:
            return buffered([this, c](const Bytes&) REQUIRES(mutex) {
                return code(visibleObject(c.param(0)) ? rc::OK : rc::InvalidObjectHandle);
            });
        default:
            return buffered([](const Bytes&) { return code(rc::OperationNotSupported); });
    }
}

// --- Device and storages ---

Reply SimulatedPhone::Impl::getDeviceInfo() {
    static constexpr uint16_t events[] = {0x4002, 0x4003, 0x4004, 0x4005, 0x4006, 0x4007};
    static constexpr uint16_t deviceProps[] = {SyncPartner, FriendlyName, BatteryLevel,
                                               PerceivedDeviceType};
    static constexpr uint16_t playback[] = {0x3000, 0x3001, 0x3004, 0x3005, 0x3008, 0x3009, 0x300A,
                                            0x300B, 0x3801, 0x3804, 0x3807, 0x380B, 0x380D, 0xB901,
                                            0xB902, 0xB903, 0xB906, 0xB982, 0xB984, 0xBA05, 0xBA82};
    std::vector<uint16_t> ops = operationsSupported();
    Bytes out;
    WireWriter w(out);
    w.u16(100);  // StandardVersion
    w.u32(6);    // VendorExtensionID: Microsoft
    w.u16(100);  // MTPVersion
    w.str("microsoft.com: 1.0; android.com: 1.0;");
    w.u16(0);  // FunctionalMode
    w.au16(ops);
    w.au16(events);
    w.au16(deviceProps);
    w.au16({});  // Android captures nothing over MTP
    w.au16(playback);
    w.str(config.manufacturer);
    w.str(config.model);
    w.str(config.deviceVersion);
    w.str(config.serial);
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::openSession(const Command& c) {
    if (sessionOpen) return Reply{rc::SessionAlreadyOpen, {sessionID}, std::nullopt};
    if (c.param(0) == 0) return code(rc::InvalidParameter);
    sessionOpen = true;
    sessionID = c.param(0);
    return code(rc::OK);
}

Reply SimulatedPhone::Impl::getStorageIDs() {
    std::vector<uint32_t> ids;
    if (!faults.locked) {
        for (auto& s : store.storages()) ids.push_back(s->id);
    }
    Bytes out;
    WireWriter(out).au32(ids);
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::getStorageInfo(const Command& c) {
    Storage* s = visibleStorage(c.param(0));
    if (!s) return code(rc::InvalidStorageID);
    Bytes out;
    WireWriter w(out);
    w.u16(s->config.removable ? 4 : 3);  // RemovableRAM / FixedRAM
    w.u16(2);                            // GenericHierarchical
    w.u16(0);                            // ReadWrite
    w.u64(store.capacity(*s));
    w.u64(freeOf(*s));
    w.u32(0xFFFFFFFF);  // FreeSpaceInObjects: not used
    w.str(s->config.description);
    w.str("");  // VolumeIdentifier
    if (faults.storageInfoLength) out.resize(std::min(out.size(), *faults.storageInfoLength));
    return withData(std::move(out));
}

// --- Listing and reading ---

Reply SimulatedPhone::Impl::getObjectHandles(const Command& c, bool countOnly) {
    uint32_t storageID = c.param(0);
    uint32_t format = c.param(1);
    uint32_t parent = c.param(2);
    std::vector<Node*> folders;
    if (parent == 0 || parent == RootParent) {
        if (storageID == 0xFFFFFFFF) {
            if (!faults.locked) {
                for (auto& s : store.storages()) folders.push_back(&s->root);
            }
        } else {
            Storage* s = visibleStorage(storageID);
            if (!s) return code(rc::InvalidStorageID);
            folders.push_back(&s->root);
        }
    } else {
        Node* folder = visibleObject(parent);
        if (!folder) return code(rc::InvalidObjectHandle);
        if (!folder->isFolder) return code(rc::InvalidParentObject);
        folders.push_back(folder);
    }
    std::vector<uint32_t> handles;
    for (Node* folder : folders) {
        for (Node* child : store.list(*folder)) {
            if (format == 0 || child->format == format) handles.push_back(child->handle);
        }
    }
    if (countOnly) return Reply{rc::OK, {static_cast<uint32_t>(handles.size())}, std::nullopt};
    Bytes out;
    WireWriter(out).au32(handles);
    return withData(std::move(out));
}

namespace {

uint32_t parentHandle(const Node& node) {
    return node.parent && node.parent->parent ? node.parent->handle : 0;
}

}  // namespace

Reply SimulatedPhone::Impl::getObjectInfo(const Command& c) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(rc::InvalidObjectHandle);
    std::string date = formatMTPDate(node->modified);
    Bytes out;
    WireWriter w(out);
    w.u32(node->storage->id);
    w.u16(node->format);
    w.u16(0);  // ProtectionStatus
    w.u32(static_cast<uint32_t>(std::min<uint64_t>(node->size, 0xFFFFFFFF)));
    w.u16(0);                              // ThumbFormat
    for (int i = 0; i < 6; ++i) w.u32(0);  // ThumbCompressedSize .. ImageBitDepth
    w.u32(parentHandle(*node));
    w.u16(node->isFolder ? 1 : 0);  // AssociationType: Generic Folder
    w.u32(0);                       // AssociationDesc
    w.u32(0);                       // SequenceNumber
    w.str(node->name);
    w.str(date);  // DateCreated
    w.str(date);  // DateModified
    w.str("");    // Keywords
    if (faults.objectInfoLength) out.resize(std::min(out.size(), *faults.objectInfoLength));
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::getObject(const Command& c) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(rc::InvalidObjectHandle);
    if (node->isFolder) return code(rc::GeneralError);
    return Reply{rc::OK, {}, store.payload(*node, 0, node->size)};
}

Reply SimulatedPhone::Impl::getPartialObject(const Command& c, bool wide) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(rc::InvalidObjectHandle);
    if (node->isFolder) return code(rc::GeneralError);
    uint64_t offset = wide ? combine(c.param(1), c.param(2)) : c.param(1);
    uint32_t maxBytes = wide ? c.param(3) : c.param(2);
    // Android trims the request to the end of the file and reports what it sends.
    uint32_t length =
        offset >= node->size
            ? 0
            : static_cast<uint32_t>(std::min<uint64_t>(maxBytes, node->size - offset));
    return Reply{rc::OK, {length}, store.payload(*node, std::min(offset, node->size), length)};
}

// --- Changing objects ---

Reply SimulatedPhone::Impl::deleteObject(const Command& c) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(rc::InvalidObjectHandle);
    store.remove(*node, false);
    pruneEdits();
    return code(rc::OK);
}

Reply SimulatedPhone::Impl::sendObjectInfo(const Command& c, const Bytes& data) {
    uint32_t storageID = c.param(0);
    uint32_t parentParam = c.param(1);
    if (storageID == 0 && !store.storages().empty()) storageID = store.storages().front()->id;
    Storage* storage = visibleStorage(storageID);
    if (!storage) return code(rc::InvalidStorageID);
    Node* parent = &storage->root;
    if (parentParam != 0 && parentParam != RootParent) {
        parent = visibleObject(parentParam);
        if (!parent || !parent->isFolder) return code(rc::InvalidParentObject);
        storage = parent->storage;
    }
    WireReader r(data);
    r.u32();  // StorageID: the parameter decides
    uint16_t format = r.u16();
    r.u16();  // ProtectionStatus
    uint32_t size = r.u32();
    r.skip(2 + 4 + 4 * 5 + 4 + 2 + 4 + 4);  // ThumbFormat .. SequenceNumber
    std::string name = r.str();
    if (!isValidName(name)) return code(rc::InvalidParameter);
    if (store.findChild(*parent, name)) return code(rc::GeneralError);
    bool folder = format == Association;
    if (!folder && size != 0xFFFFFFFF && size > freeOf(*storage)) return code(rc::StoreFull);
    uint32_t handle = store.reserveHandle();
    uint32_t reportedParent = parent == &storage->root ? 0 : parent->handle;
    if (folder) {
        store.createFolder(*parent, name, handle, false, std::time(nullptr));
    } else {
        if (format == Association || format == 0) format = formatForName(name);
        pendingObject = PendingObject{storage->id, reportedParent, name, format, handle};
    }
    return Reply{rc::OK, {storage->id, reportedParent, handle}, std::nullopt};
}

Receiver SimulatedPhone::Impl::sendObject() {
    struct State {
        std::optional<PendingObject> pending;
        uint32_t handle = 0;  // of the file being written
        uint64_t written = 0;
        uint16_t failure = 0;
    };
    auto st = std::make_shared<State>();
    st->pending = std::exchange(pendingObject, std::nullopt);
    auto discard = [this, st](uint16_t failure) REQUIRES(mutex) {
        st->failure = failure;
        if (Node* node = store.object(st->handle); node && node->incomplete) {
            try {
                store.remove(*node, false);
            } catch (const std::system_error&) {
            }
        }
        st->handle = 0;
    };
    Receiver r;
    r.begin = [this, st, discard](std::optional<uint64_t> announced) REQUIRES(mutex) {
        if (!st->pending) {
            st->failure = rc::NoValidObjectInfo;
            return;
        }
        Storage* storage = visibleStorage(st->pending->storage);
        Node* parent = !storage                   ? nullptr
                       : st->pending->parent == 0 ? &storage->root
                                                  : visibleObject(st->pending->parent);
        if (!parent || !parent->isFolder) {
            st->failure = rc::InvalidParentObject;
            return;
        }
        if (announced && *announced > freeOf(*storage)) {
            st->failure = rc::StoreFull;
            return;
        }
        if (store.findChild(*parent, st->pending->name)) {
            st->failure = rc::GeneralError;
            return;
        }
        try {
            Node* file = store.createFile(*parent, st->pending->name, st->pending->format,
                                          st->pending->handle, false, std::time(nullptr));
            file->incomplete = true;
            st->handle = file->handle;
        } catch (const std::system_error&) {
            discard(rc::GeneralError);
        }
    };
    r.chunk = [this, st, discard](std::span<const uint8_t> bytes) REQUIRES(mutex) {
        if (st->failure || st->handle == 0) return;
        Node* file = store.object(st->handle);
        if (!file) return discard(rc::GeneralError);
        if (bytes.size() > freeOf(*file->storage)) return discard(rc::StoreFull);
        try {
            store.write(*file, st->written, bytes);
            st->written += bytes.size();
        } catch (const std::system_error&) {
            discard(rc::GeneralError);
        }
    };
    r.end = [this, st]() REQUIRES(mutex) {
        if (st->failure) return code(st->failure);
        Node* file = store.object(st->handle);
        if (!file) return code(rc::GeneralError);
        file->modified = std::time(nullptr);
        store.complete(*file);
        return code(rc::OK);
    };
    r.abort = [discard]() REQUIRES(mutex) { discard(rc::GeneralError); };
    return r;
}

Receiver SimulatedPhone::Impl::sendPartialObject(const Command& c) {
    struct State {
        uint32_t handle = 0;
        uint64_t offset = 0;
        uint16_t failure = 0;
    };
    auto st = std::make_shared<State>();
    st->handle = c.param(0);
    st->offset = combine(c.param(1), c.param(2));
    Receiver r;
    r.begin = [this, st](std::optional<uint64_t> announced) REQUIRES(mutex) {
        Node* file = visibleObject(st->handle);
        if (!file || file->isFolder) {
            st->failure = rc::InvalidObjectHandle;
        } else if (!edits.contains(st->handle) || st->offset > file->size) {
            // Outside an edit, or a hole would be left: Android refuses both.
            st->failure = rc::GeneralError;
        } else if (announced && st->offset + *announced > file->size &&
                   st->offset + *announced - file->size > freeOf(*file->storage)) {
            st->failure = rc::StoreFull;
        }
    };
    r.chunk = [this, st](std::span<const uint8_t> bytes) REQUIRES(mutex) {
        if (st->failure) return;
        Node* file = visibleObject(st->handle);
        if (!file) {
            st->failure = rc::InvalidObjectHandle;
            return;
        }
        if (std::optional<uint64_t>& room = faults.partialDataRoom) {
            if (bytes.size() > *room) {
                bytes = bytes.first(*room);
                st->failure = rc::StoreFull;
            }
            *room -= bytes.size();
        }
        uint64_t end = st->offset + bytes.size();
        if (end > file->size && end - file->size > freeOf(*file->storage)) {
            st->failure = rc::StoreFull;
            return;
        }
        try {
            store.write(*file, st->offset, bytes);
            st->offset = end;
        } catch (const std::system_error&) {
            st->failure = rc::GeneralError;
        }
    };
    r.end = [st] { return code(st->failure ? st->failure : rc::OK); };
    return r;
}

Reply SimulatedPhone::Impl::truncateObject(const Command& c) {
    Node* file = visibleObject(c.param(0));
    if (!file || file->isFolder) return code(rc::InvalidObjectHandle);
    if (!edits.contains(file->handle)) return code(rc::GeneralError);
    uint64_t size = combine(c.param(1), c.param(2));
    if (size > file->size && size - file->size > freeOf(*file->storage)) return code(rc::StoreFull);
    store.truncate(*file, size);
    return code(rc::OK);
}

Reply SimulatedPhone::Impl::beginEdit(const Command& c) {
    Node* file = visibleObject(c.param(0));
    if (!file) return code(rc::InvalidObjectHandle);
    if (file->isFolder || edits.contains(file->handle)) return code(rc::GeneralError);
    edits.insert(file->handle);
    return code(rc::OK);
}

Reply SimulatedPhone::Impl::endEdit(const Command& c) {
    Node* file = visibleObject(c.param(0));
    if (!file) return code(rc::InvalidObjectHandle);
    if (!edits.erase(file->handle)) return code(rc::GeneralError);
    file->modified = std::time(nullptr);
    store.complete(*file);  // stamps the date on disk
    return code(rc::OK);
}

Reply SimulatedPhone::Impl::moveOrCopy(const Command& c, bool copy) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(rc::InvalidObjectHandle);
    Storage* target = visibleStorage(c.param(1));
    if (!target) return code(rc::InvalidStorageID);
    Node* parent = &target->root;
    if (c.param(2) != 0 && c.param(2) != RootParent) {
        parent = visibleObject(c.param(2));
        if (!parent || !parent->isFolder || parent->storage != target) {
            return code(rc::InvalidParentObject);
        }
    }
    if (store.isInside(*parent, *node)) return code(rc::InvalidParentObject);
    if (!copy && parent == node->parent) return code(rc::OK);
    if (store.findChild(*parent, node->name)) return code(rc::GeneralError);
    if ((copy || target != node->storage) && store.treeSize(*node) > freeOf(*target)) {
        return code(rc::StoreFull);
    }
    if (copy) {
        Node* copied = store.copy(*node, *parent);
        return Reply{rc::OK, {copied->handle}, std::nullopt};
    }
    store.move(*node, *parent);
    return code(rc::OK);
}

// --- Object properties ---

Reply SimulatedPhone::Impl::getObjectPropsSupported() {
    Bytes out;
    WireWriter(out).au16(objectProperties);
    return withData(std::move(out));
}

uint16_t SimulatedPhone::Impl::propertyType(Node& node, uint16_t code) const {
    switch (code) {
        case prop::StorageID:
        case prop::ParentObject:
            return type::UINT32;
        case prop::ObjectFormat:
        case prop::ProtectionStatus:
            return type::UINT16;
        case prop::ObjectSize:
            // A phone with 32-bit sizes only: the 64-bit value cannot be learnt.
            return faults.sizesUnknownOver4G && node.size >= fourGiB ? type::UINT32 : type::UINT64;
        case prop::PersistentUID:
            return type::UINT128;
        default:
            return type::STR;
    }
}

void SimulatedPhone::Impl::writeProperty(Bytes& out, Node& node, uint16_t code) {
    WireWriter w(out);
    switch (code) {
        case prop::StorageID:
            return w.u32(node.storage->id);
        case prop::ObjectFormat:
            return w.u16(node.format);
        case prop::ProtectionStatus:
            return w.u16(0);
        case prop::ObjectSize:
            if (propertyType(node, code) == type::UINT32) return w.u32(0xFFFFFFFF);
            return w.u64(node.size);
        case prop::ObjectFileName:
        case prop::Name:
            return w.str(node.name);
        case prop::DateModified:
            return w.str(formatMTPDate(node.modified));
        case prop::ParentObject:
            return w.u32(parentHandle(node));
        case prop::PersistentUID:
            w.u64(node.handle);
            return w.u64(node.storage->id);
        default:
            return;
    }
}

Reply SimulatedPhone::Impl::getObjectPropDesc(const Command& c) {
    uint16_t code16 = static_cast<uint16_t>(c.param(0));
    if (!isObjectProperty(c.param(0))) return code(rc::InvalidObjectPropCode);
    Node sample;  // defaults for the type
    sample.size = 0;
    uint16_t t = propertyType(sample, code16);
    Bytes out;
    WireWriter w(out);
    w.u16(code16);
    w.u16(t);
    w.u8(code16 == prop::ObjectFileName ? 1 : 0);  // only the name can be set
    switch (t) {
        case type::UINT16:
            w.u16(0);
            break;
        case type::UINT32:
            w.u32(0);
            break;
        case type::UINT64:
            w.u64(0);
            break;
        case type::UINT128:
            w.u64(0);
            w.u64(0);
            break;
        default:
            w.str("");
    }
    w.u32(0);                                       // GroupCode
    w.u8(code16 == prop::DateModified ? 0x03 : 0);  // DateTime form
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::getObjectPropValue(const Command& c) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(rc::InvalidObjectHandle);
    if (!isObjectProperty(c.param(1))) return code(rc::InvalidObjectPropCode);
    Bytes out;
    writeProperty(out, *node, static_cast<uint16_t>(c.param(1)));
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::getObjectPropList(const Command& c) {
    if (faults.propListError) return code(*faults.propListError);
    uint32_t handle = c.param(0);
    uint32_t format = c.param(1);
    uint32_t property = c.param(2);
    uint32_t group = c.param(3);
    uint32_t depth = c.param(4);
    if (group != 0) return code(rc::SpecificationByGroupUnsupported);
    if (property == 0) return code(rc::ParameterNotSupported);
    if (property != 0xFFFFFFFF && !isObjectProperty(property))
        return code(rc::InvalidObjectPropCode);
    if (depth == 0xFFFFFFFF && (handle == 0 || handle == RootParent)) {
        handle = RootParent;
        depth = 0;
    }
    if (depth > 1) return code(rc::SpecificationByDepthUnsupported);

    std::vector<Node*> objects;
    auto topLevel = [&]() REQUIRES(mutex) {
        if (faults.locked) return;
        for (auto& s : store.storages()) {
            for (Node* child : store.list(s->root)) objects.push_back(child);
        }
    };
    Node* self = nullptr;
    if (handle == RootParent) {
        topLevel();
    } else if (handle != 0) {
        Node* target = visibleObject(handle);
        if (!target) return code(rc::InvalidObjectHandle);
        if (format == 0 || target->format == format) self = target;
        if (depth == 1 && target->isFolder) {
            for (Node* child : store.list(*target)) objects.push_back(child);
        }
    } else if (depth == 1) {
        topLevel();
    }
    if (format != 0) std::erase_if(objects, [&](Node* n) { return n->format != format; });
    if (self && (depth == 0 || faults.propListIncludesParent)) objects.push_back(self);

    std::vector<uint16_t> properties;
    if (property == 0xFFFFFFFF) {
        properties.assign(objectProperties.begin(), objectProperties.end());
    } else {
        properties.push_back(static_cast<uint16_t>(property));
    }
    Bytes out;
    WireWriter w(out);
    w.u32(static_cast<uint32_t>(objects.size() * properties.size()));
    for (Node* node : objects) {
        for (uint16_t p : properties) {
            w.u32(node->handle);
            w.u16(p);
            w.u16(propertyType(*node, p));
            writeProperty(out, *node, p);
        }
    }
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::setObjectPropValue(const Command& c, const Bytes& data) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(rc::InvalidObjectHandle);
    if (c.param(1) != prop::ObjectFileName) {
        return code(isObjectProperty(c.param(1)) ? rc::AccessDenied : rc::InvalidObjectPropCode);
    }
    std::string name = WireReader(data).str();
    if (!isValidName(name)) return code(rc::InvalidParameter);
    if (store.findChild(*node->parent, name, node)) return code(rc::GeneralError);
    store.rename(*node, name);
    return code(rc::OK);
}

// --- Device properties ---

Reply SimulatedPhone::Impl::getDevicePropDesc(const Command& c, bool valueOnly) {
    uint16_t property = static_cast<uint16_t>(c.param(0));
    Bytes out;
    WireWriter w(out);
    auto text = [&](std::string_view factory, std::string_view current) {
        if (!valueOnly) {
            w.u16(property);
            w.u16(type::STR);
            w.u8(1);  // get/set
            w.str(factory);
        }
        w.str(current);
        if (!valueOnly) w.u8(0);
    };
    switch (property) {
        case FriendlyName:
            text(config.model, friendlyName);
            break;
        case SyncPartner:
            text("", syncPartner);
            break;
        case BatteryLevel:
            if (!valueOnly) {
                w.u16(property);
                w.u16(type::UINT8);
                w.u8(0);
                w.u8(0);
            }
            w.u8(batteryPercent);
            if (!valueOnly) {
                w.u8(0x01);  // range form: 0..100 step 1
                w.u8(0);
                w.u8(100);
                w.u8(1);
            }
            break;
        case PerceivedDeviceType:
            if (!valueOnly) {
                w.u16(property);
                w.u16(type::UINT32);
                w.u8(0);
                w.u32(0);
            }
            w.u32(mobileHandset);
            if (!valueOnly) w.u8(0);
            break;
        default:
            return code(rc::DevicePropNotSupported);
    }
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::setDevicePropValue(const Command& c, const Bytes& data) {
    switch (c.param(0)) {
        case FriendlyName:
            friendlyName = WireReader(data).str();
            return code(rc::OK);
        case SyncPartner:
            syncPartner = WireReader(data).str();
            return code(rc::OK);
        case BatteryLevel:
        case PerceivedDeviceType:
            return code(rc::AccessDenied);
        default:
            return code(rc::DevicePropNotSupported);
    }
}

}  // namespace phonesim
