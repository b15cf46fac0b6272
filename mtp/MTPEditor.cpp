#include "mtp/MTPEditor.h"

#include <algorithm>

#include "mtp/ByteReader.h"
#include "mtp/Datasets.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"
#include "mtp/PTPString.h"

namespace mtp {

uint64_t MTPEditor::objectSize(uint32_t handle) {
    Bytes value = session_.transact(Op::GetObjectPropValue, {handle, wire(Prop::ObjectSize)});
    // Read as zeros, a short reply would become a size, and the edit would cut the file to it.
    if (value.size() < 8) {
        throw MTPTransportError(
            "ObjectSize reply of " + std::to_string(value.size()) + " bytes, 8 expected",
            TransportErrorKind::protocol);
    }
    return ByteReader(value).readU64();
}

uint64_t MTPEditor::beginEdit(uint32_t handle, uint64_t knownSize, bool fetchSize) {
    if (auto open = edits_.find(handle); open != edits_.end()) return open->second;
    uint64_t size = fetchSize ? objectSize(handle) : knownSize;
    session_.transact(Op::BeginEditObject, {handle});
    try {
        session_.transact(Op::TruncateObject, {handle, low32(size), high32(size)});
    } catch (...) {
        // Leave no edit open on the phone that we no longer track.
        try {
            session_.transact(Op::EndEditObject, {handle});
        } catch (...) {
        }
        throw;
    }
    edits_[handle] = size;
    return size;
}

uint64_t MTPEditor::truncate(uint32_t handle, uint64_t newSize, uint64_t knownSize,
                             bool fetchSize) {
    beginEdit(handle, knownSize, fetchSize);
    session_.transact(Op::TruncateObject, {handle, low32(newSize), high32(newSize)});
    edits_[handle] = newSize;
    return newSize;
}

void MTPEditor::write(uint32_t handle, uint64_t offset, std::span<const uint8_t> bytes) {
    size_t done = 0;
    do {
        size_t length = std::min(chunkSize, bytes.size() - done);
        uint64_t at = offset + done;
        session_.transact(Op::SendPartialObject,
                          {handle, low32(at), high32(at), static_cast<uint32_t>(length)},
                          bytes.subspan(done, length));
        done += length;
    } while (done < bytes.size());
}

void MTPEditor::endEdit(uint32_t handle) {
    auto open = edits_.find(handle);
    if (open == edits_.end()) return;
    edits_.erase(open);
    session_.transact(Op::EndEditObject, {handle});
}

void MTPEditor::rename(uint32_t handle, std::string_view name) {
    Bytes value;
    appendPTPString(value, name);
    session_.transact(Op::SetObjectPropValue, {handle, wire(Prop::ObjectFileName)}, value);
}

uint32_t MTPEditor::createObject(uint32_t storage, uint32_t parent, std::string_view name,
                                 bool isFolder) {
    Bytes info = encodeObjectInfo(parent, name, isFolder);
    session_.transact(Op::SendObjectInfo, {storage, parent}, info);
    const std::vector<uint32_t>& params = session_.responseParams();
    // StorageID, ParentObject, then the new ObjectHandle.
    if (params.size() < 3) {
        throw MTPTransportError("SendObjectInfo returned no handle", TransportErrorKind::protocol);
    }
    return params[2];
}

std::optional<uint64_t> MTPEditor::editedSize(uint32_t handle) const {
    auto open = edits_.find(handle);
    if (open == edits_.end()) return std::nullopt;
    return open->second;
}

void MTPEditor::recordSize(uint32_t handle, uint64_t size) {
    auto open = edits_.find(handle);
    if (open != edits_.end()) open->second = size;
}

}  // namespace mtp
