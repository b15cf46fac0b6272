#pragma once
// Operation, response, format, property, data-type, event and container codes: each one is
// listed here once. They become integers only where they are put on or read from the wire.

#include <cstdint>
#include <type_traits>

namespace mtp {

enum class Op : uint16_t {
    GetDeviceInfo = 0x1001,
    OpenSession = 0x1002,
    CloseSession = 0x1003,
    GetStorageIDs = 0x1004,
    GetStorageInfo = 0x1005,
    GetNumObjects = 0x1006,
    GetObjectHandles = 0x1007,
    GetObjectInfo = 0x1008,
    GetObject = 0x1009,
    GetThumb = 0x100A,
    DeleteObject = 0x100B,
    SendObjectInfo = 0x100C,
    SendObject = 0x100D,
    GetDevicePropDesc = 0x1014,
    GetDevicePropValue = 0x1015,
    SetDevicePropValue = 0x1016,
    ResetDevicePropValue = 0x1017,
    MoveObject = 0x1019,
    CopyObject = 0x101A,
    GetPartialObject = 0x101B,
    GetPartialObject64 = 0x95C1,
    SendPartialObject = 0x95C2,
    TruncateObject = 0x95C3,
    BeginEditObject = 0x95C4,
    EndEditObject = 0x95C5,
    GetObjectPropsSupported = 0x9801,
    GetObjectPropDesc = 0x9802,
    GetObjectPropValue = 0x9803,
    SetObjectPropValue = 0x9804,
    GetObjectPropList = 0x9805,
    SetObjectPropList = 0x9806,
    SendObjectPropList = 0x9808,
    GetObjectReferences = 0x9810,
    SetObjectReferences = 0x9811,
};

enum class Response : uint16_t {
    OK = 0x2001,
    GeneralError = 0x2002,
    SessionNotOpen = 0x2003,
    InvalidTransactionID = 0x2004,
    OperationNotSupported = 0x2005,
    ParameterNotSupported = 0x2006,
    IncompleteTransfer = 0x2007,
    InvalidStorageID = 0x2008,
    InvalidObjectHandle = 0x2009,
    DevicePropNotSupported = 0x200A,
    InvalidObjectFormatCode = 0x200B,
    StoreFull = 0x200C,
    ObjectWriteProtected = 0x200D,
    StoreReadOnly = 0x200E,
    AccessDenied = 0x200F,
    NoThumbnailPresent = 0x2010,
    StoreNotAvailable = 0x2013,
    SpecificationByFormatUnsupported = 0x2014,
    NoValidObjectInfo = 0x2015,
    DeviceBusy = 0x2019,
    InvalidParentObject = 0x201A,
    InvalidParameter = 0x201D,
    SessionAlreadyOpen = 0x201E,
    InvalidObjectPropCode = 0xA801,
    SpecificationByGroupUnsupported = 0xA807,
    SpecificationByDepthUnsupported = 0xA808,
    ObjectTooLarge = 0xA809,
};

enum class Format : uint16_t {
    Undefined = 0x3000,
    Association = 0x3001,
    Text = 0x3004,
    HTML = 0x3005,
    WAV = 0x3008,
    MP3 = 0x3009,
    AVI = 0x300A,
    MPEG = 0x300B,
    EXIFJPEG = 0x3801,
    BMP = 0x3804,
    GIF = 0x3807,
    PNG = 0x380B,
    TIFF = 0x380D,
    WMA = 0xB901,
    OGG = 0xB902,
    AAC = 0xB903,
    FLAC = 0xB906,
    MP4Container = 0xB982,
    ThreeGPContainer = 0xB984,
    AbstractAVPlaylist = 0xBA05,
    XMLDocument = 0xBA82,
};

// Object properties.
enum class Prop : uint16_t {
    StorageID = 0xDC01,
    ObjectFormat = 0xDC02,
    ProtectionStatus = 0xDC03,
    ObjectSize = 0xDC04,
    ObjectFileName = 0xDC07,
    DateModified = 0xDC09,
    ParentObject = 0xDC0B,
    PersistentUID = 0xDC41,
    Name = 0xDC44,
};

enum class DeviceProp : uint16_t {
    BatteryLevel = 0x5001,
    SyncPartner = 0xD401,
    DeviceFriendlyName = 0xD402,
    PerceivedDeviceType = 0xD407,
};

// Scalar types; an array of one is the scalar's code with dataTypeArrayBit set.
enum class DataType : uint16_t {
    INT8 = 0x0001,
    UINT8 = 0x0002,
    INT16 = 0x0003,
    UINT16 = 0x0004,
    INT32 = 0x0005,
    UINT32 = 0x0006,
    INT64 = 0x0007,
    UINT64 = 0x0008,
    INT128 = 0x0009,
    UINT128 = 0x000A,
    String = 0xFFFF,
};
inline constexpr uint16_t dataTypeArrayBit = 0x4000;

enum class ContainerType : uint16_t {
    Command = 1,
    Data = 2,
    Response = 3,
    Event = 4,
};

enum class Event : uint16_t {
    ObjectAdded = 0x4002,
    ObjectRemoved = 0x4003,
    StoreAdded = 0x4004,
    StoreRemoved = 0x4005,
    DevicePropChanged = 0x4006,
    ObjectInfoChanged = 0x4007,
};

// A code as it travels: in a container header, a parameter or a dataset.
template <typename Code>
requires std::is_enum_v<Code>
constexpr uint16_t wire(Code code) {
    return static_cast<uint16_t>(code);
}

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
