#include "mtp/MTPSession.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "mtp/ByteReader.h"
#include "mtp/Container.h"
#include "mtp/Datasets.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace mtp {

namespace {

constexpr int zeroLengthReadLimit = 3;

}  // namespace

MTPSession::MTPSession(std::unique_ptr<BulkTransport> transport)
    : transport_(std::move(transport)),
      buffer_(std::make_unique_for_overwrite<uint8_t[]>(bufferSize)) {}

void MTPSession::open() {
    try {
        transact(Op::OpenSession, {1});
    } catch (const MTPError& error) {
        if (error.response != Response::SessionAlreadyOpen) throw;
    }
    DeviceInfo info = parseDeviceInfo(transact(Op::GetDeviceInfo));
    operations_ = std::set<Op>(info.operationsSupported.begin(), info.operationsSupported.end());
}

bool MTPSession::supportsWriting() const {
    for (Op op : {Op::SendObjectInfo, Op::SendObject, Op::DeleteObject, Op::SendPartialObject,
                  Op::TruncateObject, Op::BeginEditObject, Op::EndEditObject}) {
        if (!supports(op)) return false;
    }
    return true;
}

Bytes MTPSession::transact(Op op, const std::vector<uint32_t>& params,
                           std::optional<std::span<const uint8_t>> dataOut, const Sink& sink) {
    return run(op, params, dataOut, sink);
}

Bytes MTPSession::run(Op op, std::span<const uint32_t> params,
                      std::optional<std::span<const uint8_t>> dataOut, const Sink& sink) {
    if (isStalled_) {
        throw MTPTransportError("device stopped responding; reconnect it",
                                TransportErrorKind::stalled);
    }
    // Caller errors: refused before the phone sees a command it would wait on.
    if (params.size() > maxCommandParams) {
        throw MTPTransportError("too many parameters for one command", TransportErrorKind::other);
    }
    if (dataOut && !fitsDataContainer(dataOut->size())) {
        throw MTPTransportError("data phase too large for one container",
                                TransportErrorKind::other);
    }

    ++transactionID_;  // wraps at 2^32; advances even when the transaction fails
    auto started = std::chrono::steady_clock::now();
    size_t outBytes = dataOut ? dataOut->size() : 0;
    auto traceFinished = [&]() noexcept {
        if (!trace_) return;
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        try {
            trace_(op, params, outBytes, seconds);
        } catch (...) {
        }
    };

    Bytes result;
    try {
        send(op, params, dataOut);
        receive(op, sink, result);
    } catch (const MTPError&) {
        traceFinished();
        throw;
    } catch (...) {
        transport_->drainInput();
        traceFinished();
        throw;
    }
    traceFinished();
    return result;
}

void MTPSession::send(Op op, std::span<const uint32_t> params,
                      std::optional<std::span<const uint8_t>> dataOut) {
    CommandContainer command = buildCommand(op, transactionID_, params);
    Bytes data;
    if (dataOut) data = buildDataContainer(op, transactionID_, *dataOut);
    try {
        transport_->write(command.bytes());
        if (dataOut) {
            transport_->write(data);
            int packet = transport_->maxPacketSize();
            // A transfer that ends on a packet boundary needs a zero-length packet to end.
            if (packet > 0 && data.size() % static_cast<size_t>(packet) == 0) {
                transport_->write({});
            }
        }
    } catch (...) {
        isStalled_ = true;
        throw;
    }
}

size_t MTPSession::readOnce() {
    return std::min(transport_->read({buffer_.get(), bufferSize}), bufferSize);
}

size_t MTPSession::readSkippingZeroLength() {
    for (int attempt = 0; attempt < zeroLengthReadLimit; ++attempt) {
        if (size_t received = readOnce(); received > 0) return received;
    }
    throw MTPTransportError("device sent only zero-length packets", TransportErrorKind::protocol);
}

void MTPSession::receive(Op op, const Sink& sink, Bytes& result) {
    auto deliver = [&](const uint8_t* bytes, size_t count) {
        if (count == 0) return;
        if (sink) {
            sink({bytes, count});
            return;
        }
        // A broken or hostile phone could otherwise fill memory with a data phase that never
        // ends.
        if (count > maxCollected - result.size()) {
            throw MTPTransportError("data phase longer than 64 MiB", TransportErrorKind::protocol);
        }
        result.insert(result.end(), bytes, bytes + count);
    };

    size_t received = readSkippingZeroLength();
    ContainerHeader header = parseContainerHeader({buffer_.get(), received});
    if (header.type == ContainerType::Data) {
        if (header.transactionID != transactionID_) {
            throw MTPTransportError("data for another transaction", TransportErrorKind::protocol);
        }
        if (received > containerHeaderSize) {
            deliver(buffer_.get() + containerHeaderSize, received - containerHeaderSize);
        }
        uint64_t total = received;
        size_t last = received;
        int zeroLengthRun = 0;
        bool unknownLength = header.length == unknownContainerLength;
        while (unknownLength ? last == bufferSize : total < header.length) {
            last = readOnce();
            // Without this a phone sending nothing but zero-length packets would hold the
            // volume forever.
            zeroLengthRun = last == 0 ? zeroLengthRun + 1 : 0;
            if (zeroLengthRun == zeroLengthReadLimit) {
                throw MTPTransportError("device sent only zero-length packets",
                                        TransportErrorKind::protocol);
            }
            total += last;
            deliver(buffer_.get(), last);
        }
        received = readSkippingZeroLength();
        header = parseContainerHeader({buffer_.get(), received});
    }
    if (header.type != ContainerType::Response) {
        throw MTPTransportError(
            "expected a response container, got type " + std::to_string(wire(header.type)),
            TransportErrorKind::protocol);
    }
    if (header.transactionID != transactionID_) {
        throw MTPTransportError("response for another transaction", TransportErrorKind::protocol);
    }
    parseResponseParams({buffer_.get(), received}, responseParams_);
    if (header.code != wire(Response::OK)) throw MTPError(op, Response{header.code});
}

std::vector<MTPStorage> MTPSession::storages() {
    std::vector<uint32_t> ids = ByteReader(transact(Op::GetStorageIDs)).readArrayU32();
    std::vector<MTPStorage> result;
    result.reserve(ids.size());
    for (uint32_t id : ids) {
        StorageInfo info = parseStorageInfo(transact(Op::GetStorageInfo, {id}));
        result.push_back(
            MTPStorage{id, std::move(info.description), info.maxCapacity, info.freeSpaceInBytes});
    }
    return result;
}

std::vector<MTPEntry> MTPSession::list(uint32_t storage, uint32_t parent) {
    Bytes reply = transact(Op::GetObjectHandles, {storage, 0, parent});
    std::vector<uint32_t> handles = ByteReader(reply).readArrayU32();
    std::vector<MTPEntry> result;
    result.reserve(handles.size());
    for (uint32_t handle : handles) {
        try {
            result.push_back(entry(handle));
        } catch (const MTPError& error) {
            // Removed on the phone since GetObjectHandles: the rest of the folder still lists.
            if (error.response != Response::InvalidObjectHandle) throw;
        }
    }
    return result;
}

std::vector<MTPEntry> MTPSession::listByPropList(uint32_t parent) {
    std::vector<MTPEntry> result;
    std::unordered_map<uint32_t, size_t> index;
    for (Prop property :
         {Prop::ObjectFileName, Prop::ObjectFormat, Prop::ObjectSize, Prop::DateModified}) {
        Bytes reply = transact(Op::GetObjectPropList, {parent, 0, wire(property), 0, 1});
        for (PropListElement& element : parseObjectPropList(reply)) {
            // Some Android versions list the folder among its own children; the file system
            // would then show a folder inside itself.
            if (element.handle == parent) continue;
            auto [at, isNew] = index.try_emplace(element.handle, result.size());
            if (isNew) {
                result.emplace_back();
                result.back().handle = element.handle;
            }
            MTPEntry& entry = result[at->second];
            switch (element.property) {
                case Prop::ObjectFileName:
                    if (element.text) entry.name = std::move(*element.text);
                    break;
                case Prop::ObjectFormat:
                    if (element.number)
                        entry.isFolder = *element.number == wire(Format::Association);
                    break;
                case Prop::ObjectSize:
                    if (element.number) entry.size = *element.number;
                    // A 32-bit ObjectSize of all ones is the ObjectInfo cap, not a size.
                    entry.sizeUnknown = element.number == 0xFFFFFFFF &&
                                        element.dataType != DataType::INT64 &&
                                        element.dataType != DataType::UINT64;
                    break;
                case Prop::DateModified:
                    if (element.text) entry.modified = parseMTPDate(*element.text);
                    break;
                default:
                    break;
            }
        }
    }
    for (MTPEntry& entry : result) {
        if (entry.sizeUnknown) learnLargeSize(entry);
    }
    return result;
}

MTPEntry MTPSession::entry(uint32_t handle) {
    ObjectInfo info = parseObjectInfo(transact(Op::GetObjectInfo, {handle}));
    MTPEntry result{
        handle, std::move(info.filename), info.compressedSize, info.isFolder(), info.modified,
        false};
    if (info.compressedSize == 0xFFFFFFFF) learnLargeSize(result);
    return result;
}

void MTPSession::learnLargeSize(MTPEntry& entry) {
    entry.size = 0xFFFFFFFF;
    entry.sizeUnknown = false;
    if (supports(Op::GetObjectPropValue)) {
        try {
            Bytes value = transact(Op::GetObjectPropValue, {entry.handle, wire(Prop::ObjectSize)});
            if (value.size() >= 8) {
                entry.size = ByteReader(value).readU64();
                return;
            }
        } catch (const std::exception&) {
            // The size stays unknown; the listing itself must not fail for it.
        }
    }
    entry.sizeUnknown = true;
}

size_t MTPSession::readPartial(uint32_t handle, uint64_t offset, uint32_t length,
                               std::span<uint8_t> destination) {
    struct Copy {
        std::span<uint8_t> destination;
        size_t position = 0;
    } copy{destination};
    // Captures one pointer, so std::function keeps it inline: nothing is allocated per read.
    Sink sink = [target = &copy](std::span<const uint8_t> chunk) {
        size_t count = std::min(chunk.size(), target->destination.size() - target->position);
        if (count == 0) return;
        std::memcpy(target->destination.data() + target->position, chunk.data(), count);
        target->position += count;
    };
    if (supports(Op::GetPartialObject64)) {
        std::array<uint32_t, 4> params{handle, low32(offset), high32(offset), length};
        run(Op::GetPartialObject64, params, std::nullopt, sink);
    } else {
        if (offset > uint64_t{0xFFFFFFFF} - length) {
            throw MTPTransportError("device cannot read past 4 GB",
                                    TransportErrorKind::unsupported);
        }
        std::array<uint32_t, 3> params{handle, low32(offset), length};
        run(Op::GetPartialObject, params, std::nullopt, sink);
    }
    return copy.position;
}

}  // namespace mtp
