#pragma once
// Changes objects on the phone through the Android edit extension, one edit per object.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>

#include "mtp/MTPSession.h"

namespace mtp {

// Not thread-safe: shares the volume's session and its serialisation. Sends nothing when
// destroyed (open edits are ended explicitly by the owner). Every method throws what
// MTPSession::transact throws.
class MTPEditor {
  public:
    static constexpr size_t chunkSize = 4 << 20;

    explicit MTPEditor(MTPSession& session) : session_(session) {}

    // GetObjectPropValue(ObjectSize), in bytes. A reply shorter than 8 bytes throws
    // MTPTransportError (protocol) "ObjectSize reply of N bytes, 8 expected".
    [[nodiscard]] uint64_t objectSize(uint32_t handle);
    // Opens an edit once per object and returns the size as edited (bytes). The first call
    // sends BeginEditObject and TruncateObject(size), size being knownSize or, with fetchSize,
    // objectSize(); later calls send nothing. On failure nothing is recorded, and an edit the
    // phone had begun is ended (best effort) before the error is thrown.
    uint64_t beginEdit(uint32_t handle, uint64_t knownSize, bool fetchSize);
    // beginEdit, then TruncateObject(newSize); records and returns newSize.
    uint64_t truncate(uint32_t handle, uint64_t newSize, uint64_t knownSize, bool fetchSize);
    // SendPartialObject per chunk of at most 4 MiB at offset (bytes); empty bytes send one
    // empty chunk. The first failing chunk is thrown and the earlier ones stay written. Records
    // nothing: the caller records the new size after success.
    void write(uint32_t handle, uint64_t offset, std::span<const uint8_t> bytes);
    // EndEditObject when an edit is open; the entry is dropped first, even if it fails.
    void endEdit(uint32_t handle);
    // Drops the entry without ending the edit on the phone.
    void forget(uint32_t handle) { edits_.erase(handle); }
    // SetObjectPropValue(ObjectFileName); the name is cut to 254 UTF-16 units.
    void rename(uint32_t handle, std::string_view name);
    // SendObjectInfo for a new, empty object; returns its handle, the response's third
    // parameter (fewer than three: MTPTransportError "SendObjectInfo returned no handle").
    // parent RootParent = top level of storage. The name is cut to 254 UTF-16 units.
    [[nodiscard]] uint32_t createObject(uint32_t storage, uint32_t parent, std::string_view name, bool isFolder);

    // The size as edited, when an edit is open.
    [[nodiscard]] std::optional<uint64_t> editedSize(uint32_t handle) const;
    // Records the size as edited of an object under edit (no effect otherwise).
    void recordSize(uint32_t handle, uint64_t size);
    const std::map<uint32_t, uint64_t>& edits() const { return edits_; }

  private:
    MTPSession& session_;
    std::map<uint32_t, uint64_t> edits_;
};

}  // namespace mtp
