#pragma once
// Operation, response, format, property and data-type codes used on the wire.

#include <cstdint>

namespace mtp {

namespace Op {
inline constexpr uint16_t GetDeviceInfo = 0x1001;
inline constexpr uint16_t OpenSession = 0x1002;
inline constexpr uint16_t CloseSession = 0x1003;
inline constexpr uint16_t GetStorageIDs = 0x1004;
inline constexpr uint16_t GetStorageInfo = 0x1005;
inline constexpr uint16_t GetObjectHandles = 0x1007;
inline constexpr uint16_t GetObjectInfo = 0x1008;
inline constexpr uint16_t GetObject = 0x1009;
inline constexpr uint16_t DeleteObject = 0x100B;
inline constexpr uint16_t SendObjectInfo = 0x100C;
inline constexpr uint16_t SendObject = 0x100D;
inline constexpr uint16_t MoveObject = 0x1019;
inline constexpr uint16_t GetPartialObject = 0x101B;
inline constexpr uint16_t GetPartialObject64 = 0x95C1;
inline constexpr uint16_t SendPartialObject = 0x95C2;
inline constexpr uint16_t TruncateObject = 0x95C3;
inline constexpr uint16_t BeginEditObject = 0x95C4;
inline constexpr uint16_t EndEditObject = 0x95C5;
inline constexpr uint16_t GetObjectPropsSupported = 0x9801;
inline constexpr uint16_t GetObjectPropDesc = 0x9802;
inline constexpr uint16_t GetObjectPropValue = 0x9803;
inline constexpr uint16_t SetObjectPropValue = 0x9804;
inline constexpr uint16_t GetObjectPropList = 0x9805;
}  // namespace Op

namespace Response {
inline constexpr uint16_t OK = 0x2001;
inline constexpr uint16_t GeneralError = 0x2002;
inline constexpr uint16_t SessionNotOpen = 0x2003;
inline constexpr uint16_t InvalidTransactionID = 0x2004;
inline constexpr uint16_t OperationNotSupported = 0x2005;
inline constexpr uint16_t ParameterNotSupported = 0x2006;
inline constexpr uint16_t IncompleteTransfer = 0x2007;
inline constexpr uint16_t InvalidStorageID = 0x2008;
inline constexpr uint16_t InvalidObjectHandle = 0x2009;
inline constexpr uint16_t DevicePropNotSupported = 0x200A;
inline constexpr uint16_t InvalidObjectFormatCode = 0x200B;
inline constexpr uint16_t StoreFull = 0x200C;
inline constexpr uint16_t ObjectWriteProtected = 0x200D;
inline constexpr uint16_t StoreReadOnly = 0x200E;
inline constexpr uint16_t AccessDenied = 0x200F;
inline constexpr uint16_t NoThumbnailPresent = 0x2010;
inline constexpr uint16_t StoreNotAvailable = 0x2013;
inline constexpr uint16_t SpecificationByFormatUnsupported = 0x2014;
inline constexpr uint16_t NoValidObjectInfo = 0x2015;
inline constexpr uint16_t DeviceBusy = 0x2019;
inline constexpr uint16_t InvalidParentObject = 0x201A;
inline constexpr uint16_t InvalidParameter = 0x201D;
inline constexpr uint16_t SessionAlreadyOpen = 0x201E;
inline constexpr uint16_t InvalidObjectPropCode = 0xA801;
inline constexpr uint16_t SpecificationByGroupUnsupported = 0xA807;
inline constexpr uint16_t ObjectTooLarge = 0xA809;
}  // namespace Response

namespace Format {
inline constexpr uint16_t Undefined = 0x3000;
inline constexpr uint16_t Association = 0x3001;
}  // namespace Format

namespace Prop {
inline constexpr uint16_t StorageID = 0xDC01;
inline constexpr uint16_t ObjectFormat = 0xDC02;
inline constexpr uint16_t ObjectSize = 0xDC04;
inline constexpr uint16_t ObjectFileName = 0xDC07;
inline constexpr uint16_t DateModified = 0xDC09;
inline constexpr uint16_t ParentObject = 0xDC0B;
}  // namespace Prop

namespace ContainerType {
inline constexpr uint16_t Command = 1;
inline constexpr uint16_t Data = 2;
inline constexpr uint16_t Response = 3;
inline constexpr uint16_t Event = 4;
}  // namespace ContainerType

namespace Event {
inline constexpr uint16_t ObjectAdded = 0x4002;
inline constexpr uint16_t ObjectRemoved = 0x4003;
}  // namespace Event

// Top level of a storage, as a parent handle.
inline constexpr uint32_t RootParent = 0xFFFFFFFF;

// 64-bit offsets and sizes travel as two u32 parameters, low half first.
constexpr uint32_t low32(uint64_t value) {
    return static_cast<uint32_t>(value);
}
constexpr uint32_t high32(uint64_t value) {
    return static_cast<uint32_t>(value >> 32);
}

}  // namespace mtp
