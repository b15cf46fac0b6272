#include "mtp/Datasets.h"

#include "mtp/ByteReader.h"
#include "mtp/MTPCodes.h"
#include "mtp/PTPString.h"

namespace mtp {

namespace {

// Bytes of one scalar of the type; 0 when the type has no known fixed length.
uint64_t scalarWidth(DataType type) {
    switch (type) {
        case DataType::INT8:
        case DataType::UINT8:
            return 1;
        case DataType::INT16:
        case DataType::UINT16:
            return 2;
        case DataType::INT32:
        case DataType::UINT32:
            return 4;
        case DataType::INT64:
        case DataType::UINT64:
            return 8;
        case DataType::INT128:
        case DataType::UINT128:
            return 16;
        default:
            return 0;
    }
}

uint64_t readScalar(ByteReader& reader, uint64_t width) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < width; ++i) value |= uint64_t{reader.readU8()} << (8 * i);
    return value;
}

}  // namespace

bool ObjectInfo::isFolder() const {
    return format == Format::Association;
}

DeviceInfo parseDeviceInfo(std::span<const uint8_t> payload) {
    ByteReader reader(payload);
    reader.readU16();     // StandardVersion
    reader.readU32();     // VendorExtensionID
    reader.readU16();     // MTPVersion
    reader.readString();  // MTPExtensions
    reader.readU16();     // FunctionalMode
    DeviceInfo info;
    for (uint16_t op : reader.readArrayU16()) info.operationsSupported.push_back(Op{op});
    return info;
}

StorageInfo parseStorageInfo(std::span<const uint8_t> payload) {
    ByteReader reader(payload);
    reader.readU16();  // StorageType
    reader.readU16();  // FilesystemType
    reader.readU16();  // AccessCapability
    StorageInfo info;
    info.maxCapacity = reader.readU64();
    info.freeSpaceInBytes = reader.readU64();
    reader.readU32();  // FreeSpaceInObjects
    info.description = reader.readString();
    return info;
}

ObjectInfo parseObjectInfo(std::span<const uint8_t> payload) {
    ByteReader reader(payload);
    ObjectInfo info;
    reader.readU32();  // StorageID
    info.format = Format{reader.readU16()};
    reader.readU16();  // ProtectionStatus
    info.compressedSize = reader.readU32();
    reader.skip(40);  // ThumbFormat through SequenceNumber
    info.filename = reader.readString();
    reader.readString();  // DateCreated
    info.modified = parseMTPDate(reader.readString());
    return info;
}

std::vector<PropListElement> parseObjectPropList(std::span<const uint8_t> payload) {
    ByteReader reader(payload);
    uint32_t count = reader.readU32();
    std::vector<PropListElement> elements;
    for (uint32_t i = 0; i < count && !reader.atEnd(); ++i) {
        PropListElement& element = elements.emplace_back();
        element.handle = reader.readU32();
        element.property = Prop{reader.readU16()};
        element.dataType = DataType{reader.readU16()};
        DataType type = element.dataType;
        if (type == DataType::String) {
            element.text = reader.readString();
        } else if (wire(type) & dataTypeArrayBit) {
            uint64_t width =
                scalarWidth(DataType{static_cast<uint16_t>(wire(type) & ~dataTypeArrayBit)});
            if (width == 0) break;
            reader.skip(uint64_t{reader.readU32()} * width);
        } else if (uint64_t width = scalarWidth(type); width == 0) {
            break;
        } else if (width <= 8) {
            element.number = readScalar(reader, width);
        } else {
            reader.skip(width);
        }
    }
    return elements;
}

Bytes encodeObjectInfo(uint32_t parent, std::string_view name, bool isFolder) {
    Bytes out;
    out.reserve(52 + 1 + 2 * 255 + 3);
    appendU32(out, 0);  // StorageID: carried by the command instead
    appendU16(out, wire(isFolder ? Format::Association : Format::Undefined));
    appendU16(out, 0);  // ProtectionStatus
    appendU32(out, 0);  // ObjectCompressedSize: created empty, written afterwards
    appendU16(out, 0);  // ThumbFormat
    for (int i = 0; i < 6; ++i) appendU32(out, 0);  // ThumbCompressedSize .. ImageBitDepth
    appendU32(out, parent == RootParent ? 0 : parent);
    appendU16(out, isFolder ? 1 : 0);  // AssociationType: Generic Folder
    appendU32(out, 0);                 // AssociationDesc
    appendU32(out, 0);                 // SequenceNumber
    appendPTPString(out, name);
    for (int i = 0; i < 3; ++i) appendU8(out, 0);  // DateCreated, DateModified, Keywords
    return out;
}

}  // namespace mtp
