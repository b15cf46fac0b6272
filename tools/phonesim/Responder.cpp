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

using mtp::DataType;
using mtp::DeviceProp;
using mtp::Format;
using mtp::Op;
using mtp::Prop;
using mtp::Response;
using mtp::wire;

constexpr uint32_t RootParent = 0xFFFFFFFF;
constexpr uint64_t fourGiB = 1ull << 32;

constexpr std::array<Prop, 9> objectProperties = {
    Prop::StorageID,    Prop::ObjectFormat,   Prop::ProtectionStatus,
    Prop::ObjectSize,   Prop::ObjectFileName, Prop::DateModified,
    Prop::ParentObject, Prop::PersistentUID,  Prop::Name,
};

constexpr uint8_t batteryPercent = 80;
constexpr uint32_t mobileHandset = 3;

bool isObjectProperty(uint32_t code) {
    return std::ranges::any_of(objectProperties, [code](Prop p) { return wire(p) == code; });
}

// The response code of the fail fault when it hits op (consuming one hit), else none.
std::optional<Response> injectedFailure(Faults& faults, Op op) {
    FaultTrigger& trigger = faults.fail;
    if (!trigger.armed() || !trigger.matches(op)) return std::nullopt;
    if (faults.failSkip > 0) {
        --faults.failSkip;
        return std::nullopt;
    }
    if (trigger.times > 0) --trigger.times;
    return faults.failResponse;
}

Reply code(Response response) {
    return Reply{response, {}, std::nullopt};
}

Reply withData(Bytes bytes, std::vector<uint32_t> params = {}) {
    return Reply{Response::OK, std::move(params), Payload::of(std::move(bytes))};
}

uint64_t combine(uint32_t low, uint32_t high) {
    return static_cast<uint64_t>(high) << 32 | low;
}

}  // namespace

bool SimulatedPhone::Impl::hasDataOut(Op code) {
    switch (code) {
        case Op::SendObjectInfo:
        case Op::SendObject:
        case Op::SetDevicePropValue:
        case Op::SendPartialObject:
        case Op::SetObjectPropValue:
        case Op::SetObjectReferences:
        case Op::SetObjectPropList:
        case Op::SendObjectPropList:
            return true;
        default:
            return false;
    }
}

std::vector<Op> SimulatedPhone::Impl::operationsSupported() const {
    std::vector<Op> ops = {
        Op::GetDeviceInfo,
        Op::OpenSession,
        Op::CloseSession,
        Op::GetStorageIDs,
        Op::GetStorageInfo,
        Op::GetNumObjects,
        Op::GetObjectHandles,
        Op::GetObjectInfo,
        Op::GetObject,
        Op::GetThumb,
        Op::DeleteObject,
        Op::SendObjectInfo,
        Op::SendObject,
        Op::GetDevicePropDesc,
        Op::GetDevicePropValue,
        Op::SetDevicePropValue,
        Op::ResetDevicePropValue,
        Op::GetPartialObject,
        Op::GetObjectPropsSupported,
        Op::GetObjectPropDesc,
        Op::GetObjectPropValue,
        Op::SetObjectPropValue,
        Op::GetObjectPropList,
        Op::GetObjectReferences,
        Op::SetObjectReferences,
        Op::GetPartialObject64,
        Op::SendPartialObject,
        Op::TruncateObject,
        Op::BeginEditObject,
        Op::EndEditObject,
        Op::MoveObject,
        Op::CopyObject,
    };
    std::erase_if(ops, [this](Op code) REQUIRES(mutex) { return !isSupported(code); });
    return ops;
}

bool SimulatedPhone::Impl::isSupported(Op code) const {
    switch (code) {
        case Op::GetPartialObject64:
            return !faults.no64bit;
        case Op::SendPartialObject:
        case Op::TruncateObject:
        case Op::BeginEditObject:
        case Op::EndEditObject:
            return !faults.noEdit;
        case Op::GetObjectPropList:
            return !faults.noPropList;
        case Op::GetObjectPropValue:
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
        return code(Response::GeneralError);  // the disk behind a storage failed
    } catch (const std::bad_alloc&) {
        return code(Response::GeneralError);
    }
}

Reply SimulatedPhone::Impl::dispatch(const Command& c) {
    if (c.op != Op::GetDeviceInfo && c.op != Op::OpenSession && !sessionOpen) {
        return code(Response::SessionNotOpen);
    }
    if (!isSupported(c.op)) return code(Response::OperationNotSupported);
    switch (c.op) {
        case Op::GetDeviceInfo:
            return getDeviceInfo();
        case Op::OpenSession:
            return openSession(c);
        case Op::CloseSession:
            closeSession();
            return code(Response::OK);
        case Op::GetStorageIDs:
            return getStorageIDs();
        case Op::GetStorageInfo:
            return getStorageInfo(c);
        case Op::GetNumObjects:
            return getObjectHandles(c, true);
        case Op::GetObjectHandles:
            return getObjectHandles(c, false);
        case Op::GetObjectInfo:
            return getObjectInfo(c);
        case Op::GetObject:
            return getObject(c);
        case Op::GetThumb:
            return code(visibleObject(c.param(0)) ? Response::NoThumbnailPresent
                                                  : Response::InvalidObjectHandle);
        case Op::DeleteObject:
            return deleteObject(c);
        case Op::GetDevicePropDesc:
            return getDevicePropDesc(c, false);
        case Op::GetDevicePropValue:
            return getDevicePropDesc(c, true);
        case Op::ResetDevicePropValue:
            return code(Response::OK);
        case Op::MoveObject:
            return moveOrCopy(c, false);
        case Op::CopyObject:
            return moveOrCopy(c, true);
        case Op::GetPartialObject:
            return getPartialObject(c, false);
        case Op::GetPartialObject64:
            return getPartialObject(c, true);
        case Op::TruncateObject:
            return truncateObject(c);
        case Op::BeginEditObject:
            return beginEdit(c);
        case Op::EndEditObject:
            return endEdit(c);
        case Op::GetObjectPropsSupported:
            return getObjectPropsSupported();
        case Op::GetObjectPropDesc:
            return getObjectPropDesc(c);
        case Op::GetObjectPropValue:
            return getObjectPropValue(c);
        case Op::GetObjectPropList:
            return getObjectPropList(c);
        case Op::GetObjectReferences: {
            if (!visibleObject(c.param(0))) return code(Response::InvalidObjectHandle);
            Bytes out;
            WireWriter(out).au32({});
            return withData(std::move(out));
        }
        default:
            return code(Response::OperationNotSupported);
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
        if (*overflow) return code(Response::InvalidParameter);
        try {
            return handler(*data);
        } catch (const std::system_error&) {
            return code(Response::GeneralError);
        }
    };
    return r;
}

Receiver SimulatedPhone::Impl::receiverFor(const Command& c) {
    auto gate = [this, c]() REQUIRES(mutex) -> std::optional<Response> {
        if (!sessionOpen) return Response::SessionNotOpen;
        if (!isSupported(c.op)) return Response::OperationNotSupported;
        return injectedFailure(faults, c.op);
    };
    if (auto refused = gate()) {
        Response response = *refused;
        return buffered([response](const Bytes&) { return code(response); });
    }
    switch (c.op) {
        case Op::SendObjectInfo:
            return buffered([this, c](const Bytes& data) REQUIRES(mutex) { return sendObjectInfo(c, data); });
        case Op::SendObject:
            return sendObject();
        case Op::SendPartialObject:
            return sendPartialObject(c);
        case Op::SetObjectPropValue:
            return buffered([this, c](const Bytes& data) REQUIRES(mutex) { return setObjectPropValue(c, data); });
        case Op::SetDevicePropValue:
            return buffered([this, c](const Bytes& data) REQUIRES(mutex) { return setDevicePropValue(c, data); });
        case Op::SetObjectReferences:
            return buffered([this, c](const Bytes&) REQUIRES(mutex) {
                return code(visibleObject(c.param(0)) ? Response::OK
                                                      : Response::InvalidObjectHandle);
            });
        default:
            return buffered([](const Bytes&) { return code(Response::OperationNotSupported); });
    }
}

// --- Device and storages ---

Reply SimulatedPhone::Impl::getDeviceInfo() {
    using mtp::Event;
    static constexpr Event events[] = {Event::ObjectAdded,       Event::ObjectRemoved,
                                       Event::StoreAdded,        Event::StoreRemoved,
                                       Event::DevicePropChanged, Event::ObjectInfoChanged};
    static constexpr DeviceProp deviceProps[] = {
        DeviceProp::SyncPartner, DeviceProp::DeviceFriendlyName, DeviceProp::BatteryLevel,
        DeviceProp::PerceivedDeviceType};
    static constexpr Format playback[] = {Format::Undefined,
                                          Format::Association,
                                          Format::Text,
                                          Format::HTML,
                                          Format::WAV,
                                          Format::MP3,
                                          Format::AVI,
                                          Format::MPEG,
                                          Format::EXIFJPEG,
                                          Format::BMP,
                                          Format::GIF,
                                          Format::PNG,
                                          Format::TIFF,
                                          Format::WMA,
                                          Format::OGG,
                                          Format::AAC,
                                          Format::FLAC,
                                          Format::MP4Container,
                                          Format::ThreeGPContainer,
                                          Format::AbstractAVPlaylist,
                                          Format::XMLDocument};
    std::vector<Op> ops = operationsSupported();
    Bytes out;
    WireWriter w(out);
    w.u16(100);  // StandardVersion
    w.u32(6);    // VendorExtensionID: Microsoft
    w.u16(100);  // MTPVersion
    w.str("microsoft.com: 1.0; android.com: 1.0;");
    w.u16(0);  // FunctionalMode
    w.codes(ops);
    w.codes(events);
    w.codes(deviceProps);
    w.au16({});  // Android captures nothing over MTP
    w.codes(playback);
    w.str(config.manufacturer);
    w.str(config.model);
    w.str(config.deviceVersion);
    w.str(config.serial);
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::openSession(const Command& c) {
    if (sessionOpen) return Reply{Response::SessionAlreadyOpen, {sessionID}, std::nullopt};
    if (c.param(0) == 0) return code(Response::InvalidParameter);
    sessionOpen = true;
    sessionID = c.param(0);
    return code(Response::OK);
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
    if (!s) return code(Response::InvalidStorageID);
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
            if (!s) return code(Response::InvalidStorageID);
            folders.push_back(&s->root);
        }
    } else {
        Node* folder = visibleObject(parent);
        if (!folder) return code(Response::InvalidObjectHandle);
        if (!folder->isFolder) return code(Response::InvalidParentObject);
        folders.push_back(folder);
    }
    std::vector<uint32_t> handles;
    for (Node* folder : folders) {
        for (Node* child : store.list(*folder)) {
            if (format == 0 || wire(child->format) == format) handles.push_back(child->handle);
        }
    }
    if (countOnly)
        return Reply{Response::OK, {static_cast<uint32_t>(handles.size())}, std::nullopt};
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
    if (!node) return code(Response::InvalidObjectHandle);
    std::string date = formatMTPDate(node->modified);
    Bytes out;
    WireWriter w(out);
    w.u32(node->storage->id);
    w.u16(wire(node->format));
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
    if (!node) return code(Response::InvalidObjectHandle);
    if (node->isFolder) return code(Response::GeneralError);
    return Reply{Response::OK, {}, store.payload(*node, 0, node->size)};
}

Reply SimulatedPhone::Impl::getPartialObject(const Command& c, bool wide) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(Response::InvalidObjectHandle);
    if (node->isFolder) return code(Response::GeneralError);
    uint64_t offset = wide ? combine(c.param(1), c.param(2)) : c.param(1);
    uint32_t maxBytes = wide ? c.param(3) : c.param(2);
    // Android trims the request to the end of the file and reports what it sends.
    uint32_t length =
        offset >= node->size
            ? 0
            : static_cast<uint32_t>(std::min<uint64_t>(maxBytes, node->size - offset));
    return Reply{
        Response::OK, {length}, store.payload(*node, std::min(offset, node->size), length)};
}

// --- Changing objects ---

Reply SimulatedPhone::Impl::deleteObject(const Command& c) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(Response::InvalidObjectHandle);
    store.remove(*node, false);
    pruneEdits();
    return code(Response::OK);
}

Reply SimulatedPhone::Impl::sendObjectInfo(const Command& c, const Bytes& data) {
    uint32_t storageID = c.param(0);
    uint32_t parentParam = c.param(1);
    if (storageID == 0 && !store.storages().empty()) storageID = store.storages().front()->id;
    Storage* storage = visibleStorage(storageID);
    if (!storage) return code(Response::InvalidStorageID);
    Node* parent = &storage->root;
    if (parentParam != 0 && parentParam != RootParent) {
        parent = visibleObject(parentParam);
        if (!parent || !parent->isFolder) return code(Response::InvalidParentObject);
        storage = parent->storage;
    }
    WireReader r(data);
    r.u32();  // StorageID: the parameter decides
    Format format{r.u16()};
    r.u16();  // ProtectionStatus
    uint32_t size = r.u32();
    r.skip(2 + 4 + 4 * 5 + 4 + 2 + 4 + 4);  // ThumbFormat .. SequenceNumber
    std::string name = r.str();
    if (!isValidName(name)) return code(Response::InvalidParameter);
    if (store.findChild(*parent, name)) return code(Response::GeneralError);
    bool folder = format == Format::Association;
    if (!folder && size != 0xFFFFFFFF && size > freeOf(*storage)) return code(Response::StoreFull);
    uint32_t handle = store.reserveHandle();
    uint32_t reportedParent = parent == &storage->root ? 0 : parent->handle;
    if (folder) {
        store.createFolder(*parent, name, handle, false, std::time(nullptr));
    } else {
        if (format == Format::Association || format == Format{}) format = formatForName(name);
        pendingObject = PendingObject{storage->id, reportedParent, name, format, handle};
    }
    return Reply{Response::OK, {storage->id, reportedParent, handle}, std::nullopt};
}

Receiver SimulatedPhone::Impl::sendObject() {
    struct State {
        std::optional<PendingObject> pending;
        uint32_t handle = 0;  // of the file being written
        uint64_t written = 0;
        std::optional<Response> failure;
    };
    auto st = std::make_shared<State>();
    st->pending = std::exchange(pendingObject, std::nullopt);
    auto discard = [this, st](Response failure) REQUIRES(mutex) {
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
            st->failure = Response::NoValidObjectInfo;
            return;
        }
        Storage* storage = visibleStorage(st->pending->storage);
        Node* parent = !storage                   ? nullptr
                       : st->pending->parent == 0 ? &storage->root
                                                  : visibleObject(st->pending->parent);
        if (!parent || !parent->isFolder) {
            st->failure = Response::InvalidParentObject;
            return;
        }
        if (announced && *announced > freeOf(*storage)) {
            st->failure = Response::StoreFull;
            return;
        }
        if (store.findChild(*parent, st->pending->name)) {
            st->failure = Response::GeneralError;
            return;
        }
        try {
            Node* file = store.createFile(*parent, st->pending->name, st->pending->format,
                                          st->pending->handle, false, std::time(nullptr));
            file->incomplete = true;
            st->handle = file->handle;
        } catch (const std::system_error&) {
            discard(Response::GeneralError);
        }
    };
    r.chunk = [this, st, discard](std::span<const uint8_t> bytes) REQUIRES(mutex) {
        if (st->failure || st->handle == 0) return;
        Node* file = store.object(st->handle);
        if (!file) return discard(Response::GeneralError);
        if (bytes.size() > freeOf(*file->storage)) return discard(Response::StoreFull);
        try {
            store.write(*file, st->written, bytes);
            st->written += bytes.size();
        } catch (const std::system_error&) {
            discard(Response::GeneralError);
        }
    };
    r.end = [this, st]() REQUIRES(mutex) {
        if (st->failure) return code(*st->failure);
        Node* file = store.object(st->handle);
        if (!file) return code(Response::GeneralError);
        file->modified = std::time(nullptr);
        store.complete(*file);
        return code(Response::OK);
    };
    r.abort = [discard]() REQUIRES(mutex) { discard(Response::GeneralError); };
    return r;
}

Receiver SimulatedPhone::Impl::sendPartialObject(const Command& c) {
    struct State {
        uint32_t handle = 0;
        uint64_t offset = 0;
        std::optional<Response> failure;
    };
    auto st = std::make_shared<State>();
    st->handle = c.param(0);
    st->offset = combine(c.param(1), c.param(2));
    Receiver r;
    r.begin = [this, st](std::optional<uint64_t> announced) REQUIRES(mutex) {
        Node* file = visibleObject(st->handle);
        if (!file || file->isFolder) {
            st->failure = Response::InvalidObjectHandle;
        } else if (!edits.contains(st->handle) || st->offset > file->size) {
            // Outside an edit, or a hole would be left: Android refuses both.
            st->failure = Response::GeneralError;
        } else if (announced && st->offset + *announced > file->size &&
                   st->offset + *announced - file->size > freeOf(*file->storage)) {
            st->failure = Response::StoreFull;
        }
    };
    r.chunk = [this, st](std::span<const uint8_t> bytes) REQUIRES(mutex) {
        if (st->failure) return;
        Node* file = visibleObject(st->handle);
        if (!file) {
            st->failure = Response::InvalidObjectHandle;
            return;
        }
        if (std::optional<uint64_t>& room = faults.partialDataRoom) {
            if (bytes.size() > *room) {
                bytes = bytes.first(*room);
                st->failure = Response::StoreFull;
            }
            *room -= bytes.size();
        }
        uint64_t end = st->offset + bytes.size();
        if (end > file->size && end - file->size > freeOf(*file->storage)) {
            st->failure = Response::StoreFull;
            return;
        }
        try {
            store.write(*file, st->offset, bytes);
            st->offset = end;
        } catch (const std::system_error&) {
            st->failure = Response::GeneralError;
        }
    };
    r.end = [st] { return code(st->failure.value_or(Response::OK)); };
    return r;
}

Reply SimulatedPhone::Impl::truncateObject(const Command& c) {
    Node* file = visibleObject(c.param(0));
    if (!file || file->isFolder) return code(Response::InvalidObjectHandle);
    if (!edits.contains(file->handle)) return code(Response::GeneralError);
    uint64_t size = combine(c.param(1), c.param(2));
    if (size > file->size && size - file->size > freeOf(*file->storage))
        return code(Response::StoreFull);
    store.truncate(*file, size);
    return code(Response::OK);
}

Reply SimulatedPhone::Impl::beginEdit(const Command& c) {
    Node* file = visibleObject(c.param(0));
    if (!file) return code(Response::InvalidObjectHandle);
    if (file->isFolder || edits.contains(file->handle)) return code(Response::GeneralError);
    edits.insert(file->handle);
    return code(Response::OK);
}

Reply SimulatedPhone::Impl::endEdit(const Command& c) {
    Node* file = visibleObject(c.param(0));
    if (!file) return code(Response::InvalidObjectHandle);
    if (!edits.erase(file->handle)) return code(Response::GeneralError);
    file->modified = std::time(nullptr);
    store.complete(*file);  // stamps the date on disk
    return code(Response::OK);
}

Reply SimulatedPhone::Impl::moveOrCopy(const Command& c, bool copy) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(Response::InvalidObjectHandle);
    Storage* target = visibleStorage(c.param(1));
    if (!target) return code(Response::InvalidStorageID);
    Node* parent = &target->root;
    if (c.param(2) != 0 && c.param(2) != RootParent) {
        parent = visibleObject(c.param(2));
        if (!parent || !parent->isFolder || parent->storage != target) {
            return code(Response::InvalidParentObject);
        }
    }
    if (store.isInside(*parent, *node)) return code(Response::InvalidParentObject);
    if (!copy && parent == node->parent) return code(Response::OK);
    if (store.findChild(*parent, node->name)) return code(Response::GeneralError);
    if ((copy || target != node->storage) && store.treeSize(*node) > freeOf(*target)) {
        return code(Response::StoreFull);
    }
    if (copy) {
        Node* copied = store.copy(*node, *parent);
        return Reply{Response::OK, {copied->handle}, std::nullopt};
    }
    store.move(*node, *parent);
    return code(Response::OK);
}

// --- Object properties ---

Reply SimulatedPhone::Impl::getObjectPropsSupported() {
    Bytes out;
    WireWriter(out).codes(objectProperties);
    return withData(std::move(out));
}

DataType SimulatedPhone::Impl::propertyType(Node& node, Prop code) const {
    switch (code) {
        case Prop::StorageID:
        case Prop::ParentObject:
            return DataType::UINT32;
        case Prop::ObjectFormat:
        case Prop::ProtectionStatus:
            return DataType::UINT16;
        case Prop::ObjectSize:
            // A phone with 32-bit sizes only: the 64-bit value cannot be learnt.
            return faults.sizesUnknownOver4G && node.size >= fourGiB ? DataType::UINT32
                                                                     : DataType::UINT64;
        case Prop::PersistentUID:
            return DataType::UINT128;
        default:
            return DataType::String;
    }
}

void SimulatedPhone::Impl::writeProperty(Bytes& out, Node& node, Prop code) {
    WireWriter w(out);
    switch (code) {
        case Prop::StorageID:
            return w.u32(node.storage->id);
        case Prop::ObjectFormat:
            return w.u16(wire(node.format));
        case Prop::ProtectionStatus:
            return w.u16(0);
        case Prop::ObjectSize:
            if (propertyType(node, code) == DataType::UINT32) return w.u32(0xFFFFFFFF);
            return w.u64(node.size);
        case Prop::ObjectFileName:
        case Prop::Name:
            return w.str(node.name);
        case Prop::DateModified:
            return w.str(formatMTPDate(node.modified));
        case Prop::ParentObject:
            return w.u32(parentHandle(node));
        case Prop::PersistentUID:
            w.u64(node.handle);
            return w.u64(node.storage->id);
        default:
            return;
    }
}

Reply SimulatedPhone::Impl::getObjectPropDesc(const Command& c) {
    Prop code16{static_cast<uint16_t>(c.param(0))};
    if (!isObjectProperty(c.param(0))) return code(Response::InvalidObjectPropCode);
    Node sample;  // defaults for the type
    sample.size = 0;
    DataType t = propertyType(sample, code16);
    Bytes out;
    WireWriter w(out);
    w.u16(wire(code16));
    w.u16(wire(t));
    w.u8(code16 == Prop::ObjectFileName ? 1 : 0);  // only the name can be set
    switch (t) {
        case DataType::UINT16:
            w.u16(0);
            break;
        case DataType::UINT32:
            w.u32(0);
            break;
        case DataType::UINT64:
            w.u64(0);
            break;
        case DataType::UINT128:
            w.u64(0);
            w.u64(0);
            break;
        default:
            w.str("");
    }
    w.u32(0);                                       // GroupCode
    w.u8(code16 == Prop::DateModified ? 0x03 : 0);  // DateTime form
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::getObjectPropValue(const Command& c) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(Response::InvalidObjectHandle);
    if (!isObjectProperty(c.param(1))) return code(Response::InvalidObjectPropCode);
    Bytes out;
    writeProperty(out, *node, Prop{static_cast<uint16_t>(c.param(1))});
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::getObjectPropList(const Command& c) {
    if (faults.propListError) return code(*faults.propListError);
    uint32_t handle = c.param(0);
    uint32_t format = c.param(1);
    uint32_t property = c.param(2);
    uint32_t group = c.param(3);
    uint32_t depth = c.param(4);
    if (group != 0) return code(Response::SpecificationByGroupUnsupported);
    if (property == 0) return code(Response::ParameterNotSupported);
    if (property != 0xFFFFFFFF && !isObjectProperty(property))
        return code(Response::InvalidObjectPropCode);
    if (depth == 0xFFFFFFFF && (handle == 0 || handle == RootParent)) {
        handle = RootParent;
        depth = 0;
    }
    if (depth > 1) return code(Response::SpecificationByDepthUnsupported);

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
        if (!target) return code(Response::InvalidObjectHandle);
        if (format == 0 || wire(target->format) == format) self = target;
        if (depth == 1 && target->isFolder) {
            for (Node* child : store.list(*target)) objects.push_back(child);
        }
    } else if (depth == 1) {
        topLevel();
    }
    if (format != 0) std::erase_if(objects, [&](Node* n) { return wire(n->format) != format; });
    if (self && depth == 0) objects.push_back(self);

    std::vector<Prop> properties;
    if (property == 0xFFFFFFFF) {
        properties.assign(objectProperties.begin(), objectProperties.end());
    } else {
        properties.push_back(Prop{static_cast<uint16_t>(property)});
    }
    Bytes out;
    WireWriter w(out);
    w.u32(static_cast<uint32_t>(objects.size() * properties.size()));
    for (Node* node : objects) {
        for (Prop p : properties) {
            w.u32(node->handle);
            w.u16(wire(p));
            w.u16(wire(propertyType(*node, p)));
            writeProperty(out, *node, p);
        }
    }
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::setObjectPropValue(const Command& c, const Bytes& data) {
    Node* node = visibleObject(c.param(0));
    if (!node) return code(Response::InvalidObjectHandle);
    if (c.param(1) != wire(Prop::ObjectFileName)) {
        return code(isObjectProperty(c.param(1)) ? Response::AccessDenied
                                                 : Response::InvalidObjectPropCode);
    }
    std::string name = WireReader(data).str();
    if (!isValidName(name)) return code(Response::InvalidParameter);
    if (store.findChild(*node->parent, name, node)) return code(Response::GeneralError);
    store.rename(*node, name);
    return code(Response::OK);
}

// --- Device properties ---

Reply SimulatedPhone::Impl::getDevicePropDesc(const Command& c, bool valueOnly) {
    DeviceProp property{static_cast<uint16_t>(c.param(0))};
    Bytes out;
    WireWriter w(out);
    auto text = [&](std::string_view factory, std::string_view current) {
        if (!valueOnly) {
            w.u16(wire(property));
            w.u16(wire(DataType::String));
            w.u8(1);  // get/set
            w.str(factory);
        }
        w.str(current);
        if (!valueOnly) w.u8(0);
    };
    switch (property) {
        case DeviceProp::DeviceFriendlyName:
            text(config.model, friendlyName);
            break;
        case DeviceProp::SyncPartner:
            text("", syncPartner);
            break;
        case DeviceProp::BatteryLevel:
            if (!valueOnly) {
                w.u16(wire(property));
                w.u16(wire(DataType::UINT8));
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
        case DeviceProp::PerceivedDeviceType:
            if (!valueOnly) {
                w.u16(wire(property));
                w.u16(wire(DataType::UINT32));
                w.u8(0);
                w.u32(0);
            }
            w.u32(mobileHandset);
            if (!valueOnly) w.u8(0);
            break;
        default:
            return code(Response::DevicePropNotSupported);
    }
    return withData(std::move(out));
}

Reply SimulatedPhone::Impl::setDevicePropValue(const Command& c, const Bytes& data) {
    if (c.param(0) > 0xFFFF) return code(Response::DevicePropNotSupported);
    switch (DeviceProp{static_cast<uint16_t>(c.param(0))}) {
        case DeviceProp::DeviceFriendlyName:
            friendlyName = WireReader(data).str();
            return code(Response::OK);
        case DeviceProp::SyncPartner:
            syncPartner = WireReader(data).str();
            return code(Response::OK);
        case DeviceProp::BatteryLevel:
        case DeviceProp::PerceivedDeviceType:
            return code(Response::AccessDenied);
        default:
            return code(Response::DevicePropNotSupported);
    }
}

}  // namespace phonesim
