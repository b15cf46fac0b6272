#include "mtp/Container.h"

#include <algorithm>

#include "mtp/ByteReader.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace mtp {

namespace {

void put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t* at, uint32_t value) {
    put16(at, static_cast<uint16_t>(value));
    put16(at + 2, static_cast<uint16_t>(value >> 16));
}

}  // namespace

CommandContainer buildCommand(Op op, uint32_t transactionID, std::span<const uint32_t> params) {
    CommandContainer command;
    size_t count = std::min(params.size(), maxCommandParams);
    command.length = containerHeaderSize + 4 * count;
    uint8_t* at = command.storage.data();
    put32(at, static_cast<uint32_t>(command.length));
    put16(at + 4, wire(ContainerType::Command));
    put16(at + 6, wire(op));
    put32(at + 8, transactionID);
    for (size_t i = 0; i < count; ++i) put32(at + containerHeaderSize + 4 * i, params[i]);
    return command;
}

Bytes buildDataContainer(Op op, uint32_t transactionID, std::span<const uint8_t> payload) {
    if (!fitsDataContainer(payload.size())) {
        throw MTPTransportError("data phase too large for one container",
                                TransportErrorKind::other);
    }
    Bytes out;
    out.reserve(containerHeaderSize + payload.size());
    appendU32(out, static_cast<uint32_t>(containerHeaderSize + payload.size()));
    appendU16(out, wire(ContainerType::Data));
    appendU16(out, wire(op));
    appendU32(out, transactionID);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

ContainerHeader parseContainerHeader(std::span<const uint8_t> chunk) {
    ByteReader reader(chunk);
    ContainerHeader header;
    header.length = reader.readU32();
    header.type = static_cast<ContainerType>(reader.readU16());
    header.code = reader.readU16();
    header.transactionID = reader.readU32();
    return header;
}

void parseResponseParams(std::span<const uint8_t> chunk, std::vector<uint32_t>& params) {
    params.clear();
    uint64_t available = std::min<uint64_t>(chunk.size(), parseContainerHeader(chunk).length);
    if (available < containerHeaderSize + 4) return;
    ByteReader reader(chunk);
    reader.skip(containerHeaderSize);
    params.resize((available - containerHeaderSize) / 4);
    for (auto& param : params) param = reader.readU32();
}

}  // namespace mtp
