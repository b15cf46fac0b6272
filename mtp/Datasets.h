#pragma once
// The datasets the system reads from the phone (DeviceInfo, StorageInfo, ObjectInfo,
// ObjectPropList) and the ObjectInfo it sends. Decoders never fail: missing bytes read as 0 and
// missing strings as empty; only the fields the system uses are kept.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mtp/ByteWriter.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPDate.h"

namespace mtp {

struct DeviceInfo {
    std::vector<Op> operationsSupported;  // in the phone's order
    bool operator==(const DeviceInfo&) const = default;
};

struct StorageInfo {
    uint64_t maxCapacity = 0;       // bytes
    uint64_t freeSpaceInBytes = 0;  // bytes
    std::string description;
    bool operator==(const StorageInfo&) const = default;
};

struct ObjectInfo {
    Format format{};
    uint32_t compressedSize = 0;  // bytes; 0xFFFFFFFF means 4 GiB or more
    std::string filename;
    std::optional<Timestamp> modified;  // DateModified by the date rule
    bool isFolder() const;
    bool operator==(const ObjectInfo&) const = default;
};

// One element of an ObjectPropList. Scalars of up to 8 bytes are in number; string values in
// text; 16-byte values, arrays and values of unknown type carry neither.
struct PropListElement {
    uint32_t handle = 0;
    Prop property{};
    DataType dataType{};  // an array type has dataTypeArrayBit set
    std::optional<uint64_t> number;
    std::optional<std::string> text;
    bool operator==(const PropListElement&) const = default;
};

DeviceInfo parseDeviceInfo(std::span<const uint8_t> payload);
StorageInfo parseStorageInfo(std::span<const uint8_t> payload);
ObjectInfo parseObjectInfo(std::span<const uint8_t> payload);

// Walks the elements in order, each starting where the previous value ended. The walk stops
// at the first element that starts at or past the end of the payload (a count the bytes cannot
// hold is not believed), and after an element whose DataType has no known length: that element
// is kept with no value, and the elements after it are not read, since where they start cannot
// be known.
std::vector<PropListElement> parseObjectPropList(std::span<const uint8_t> payload);

// The SendObjectInfo dataset for a new, empty object. parent RootParent (top level) is written
// as 0; the name is cut to 254 UTF-16 units; the three dates and keywords are empty.
Bytes encodeObjectInfo(uint32_t parent, std::string_view name, bool isFolder);

}  // namespace mtp
