#pragma once
// The generic MTP container: a 12-byte header (length, type, code, transaction ID), then
// parameters (command, response) or dataset bytes (data).

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "mtp/ByteWriter.h"
#include "mtp/MTPCodes.h"

namespace mtp {

inline constexpr size_t containerHeaderSize = 12;
inline constexpr size_t maxCommandParams = 5;
// ContainerLength of a data container whose length the phone does not know in advance.
inline constexpr uint32_t unknownContainerLength = 0xFFFFFFFF;

struct ContainerHeader {
    uint32_t length = 0;  // bytes, header included
    ContainerType type{};
    uint16_t code = 0;  // operation, response or event code, as the type says
    uint32_t transactionID = 0;
    bool operator==(const ContainerHeader&) const = default;
};

// A command container. It holds at most five parameters, so it lives on the stack and a
// transaction allocates nothing to send it.
struct CommandContainer {
    std::array<uint8_t, containerHeaderSize + 4 * maxCommandParams> storage{};
    size_t length = 0;
    std::span<const uint8_t> bytes() const { return {storage.data(), length}; }
};

// Precondition: params.size() <= maxCommandParams (extra parameters are not sent).
CommandContainer buildCommand(Op op, uint32_t transactionID, std::span<const uint32_t> params);

// Header and payload as one contiguous sequence. Precondition: fitsDataContainer(payload size);
// throws MTPTransportError otherwise (the caller must chunk).
Bytes buildDataContainer(Op op, uint32_t transactionID, std::span<const uint8_t> payload);
inline bool fitsDataContainer(uint64_t payloadLength) {
    return payloadLength <= uint64_t{0xFFFFFFFF} - containerHeaderSize;
}

// From the first 12 received bytes; missing bytes read as 0.
ContainerHeader parseContainerHeader(std::span<const uint8_t> chunk);

// Response parameters of a response chunk: n = min(chunk size, ContainerLength); (n - 12) / 4
// parameters when n >= 16, none otherwise. Fills params, reusing its capacity.
void parseResponseParams(std::span<const uint8_t> chunk, std::vector<uint32_t>& params);

}  // namespace mtp
