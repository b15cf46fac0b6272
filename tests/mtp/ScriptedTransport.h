#pragma once
// A BulkTransport that stands in for the phone's USB pipes in unit tests: IN transfers are
// queued by the test (or by a responder called for each command), OUT transfers are recorded,
// and write failures, read time-outs and drains can be injected and counted. Header-only and
// free of GoogleTest so that the fuzz target can use it too.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mtp/BulkTransport.h"
#include "mtp/ByteReader.h"
#include "mtp/ByteWriter.h"
#include "mtp/Container.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace mtptest {

using mtp::Bytes;

struct Command {
    mtp::Op op{};
    uint32_t transactionID = 0;
    std::vector<uint32_t> params;
    bool operator==(const Command&) const = default;
};

// What a responder answers to one command: an optional data phase, then the response.
struct Reply {
    Reply(std::optional<Bytes> data = std::nullopt, mtp::Response code = mtp::Response::OK,
          std::vector<uint32_t> params = {})
        : data(std::move(data)), code(code), params(std::move(params)) {}
    std::optional<Bytes> data;
    mtp::Response code;
    std::vector<uint32_t> params;
};

// value as size little-endian bytes.
inline Bytes le(uint64_t value, size_t size) {
    Bytes bytes;
    for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> 8 * i));
    return bytes;
}

class ScriptedTransport : public mtp::BulkTransport {
  public:
    // One IN transfer. A transfer longer than the reader's buffer is delivered over several
    // reads, buffer-full first, as a USB transfer into a smaller buffer would be.
    void queueIn(Bytes transfer) { in_.push_back(Item{std::move(transfer), {}}); }
    void queueZeroLength() { queueIn({}); }
    // A read that fails (a time-out, a stall).
    void queueReadFailure(std::string message) { in_.push_back(Item{{}, std::move(message)}); }
    // A data container as the phone sends it: one transfer, then a zero-length packet when its
    // length is a multiple of the packet size.
    void queueData(mtp::Op op, uint32_t transactionID, std::span<const uint8_t> payload,
                   std::optional<uint32_t> announcedLength = std::nullopt) {
        Bytes container = mtp::buildDataContainer(op, transactionID, payload);
        if (announcedLength) std::ranges::copy(le(*announcedLength, 4), container.begin());
        bool needsZeroLength = container.size() % packetSize == 0;
        queueIn(std::move(container));
        if (needsZeroLength) queueZeroLength();
    }
    void queueResponse(mtp::Response code, uint32_t id, const std::vector<uint32_t>& params = {}) {
        queueIn(response(code, id, params));
    }
    static Bytes response(mtp::Response code, uint32_t transactionID,
                          const std::vector<uint32_t>& params = {}) {
        Bytes bytes;
        mtp::appendU32(bytes, static_cast<uint32_t>(12 + 4 * params.size()));
        mtp::appendU16(bytes, mtp::wire(mtp::ContainerType::Response));
        mtp::appendU16(bytes, mtp::wire(code));
        mtp::appendU32(bytes, transactionID);
        for (uint32_t param : params) mtp::appendU32(bytes, param);
        return bytes;
    }

    // Called after each command container is written; queues whatever it returns.
    void respond(std::function<Reply(const Command&)> responder) {
        responder_ = std::move(responder);
    }

    // The write with this index (0-based, counting every OUT transfer) fails.
    std::optional<size_t> failWriteAt;

    std::vector<Bytes> writes;      // every OUT transfer, zero-length packets included
    std::vector<Command> commands;  // the command containers among them
    size_t reads = 0;               // read() calls
    size_t drains = 0;              // drainInput() calls
    size_t packetSize = 512;

    size_t queued() const { return in_.size(); }
    std::vector<mtp::Op> ops() const {
        std::vector<mtp::Op> result;
        for (const Command& command : commands) result.push_back(command.op);
        return result;
    }
    void clearRecords() {
        writes.clear();
        commands.clear();
        reads = drains = 0;
    }

    int maxPacketSize() const override { return static_cast<int>(packetSize); }

    void write(std::span<const uint8_t> bytes) override {
        writes.emplace_back(bytes.begin(), bytes.end());
        if (writes.size() - 1 == failWriteAt) throw mtp::MTPTransportError("write failed");
        mtp::ContainerHeader header = mtp::parseContainerHeader(bytes);
        if (header.type != mtp::ContainerType::Command || header.length != bytes.size()) return;
        Command command{mtp::Op{header.code}, header.transactionID, {}};
        mtp::ByteReader reader(bytes);
        reader.skip(12);
        while (!reader.atEnd()) command.params.push_back(reader.readU32());
        commands.push_back(command);
        if (responder_) {
            Reply reply = responder_(command);
            if (reply.data) queueData(command.op, command.transactionID, *reply.data);
            queueResponse(reply.code, command.transactionID, reply.params);
        }
    }

    size_t read(std::span<uint8_t> buffer) override {
        ++reads;
        if (in_.empty()) throw mtp::MTPTransportError("time-out");
        Item& item = in_.front();
        if (auto failure = item.failure) {
            in_.pop_front();
            throw mtp::MTPTransportError(*failure);
        }
        size_t count = std::min(buffer.size(), item.bytes.size() - item.offset);
        std::copy_n(item.bytes.begin() + static_cast<ptrdiff_t>(item.offset), count,
                    buffer.begin());
        item.offset += count;
        if (item.offset == item.bytes.size()) in_.pop_front();
        return count;
    }

    // Discards up to 16 queued transfers, stopping after a zero-length one or a failing one.
    void drainInput() noexcept override {
        ++drains;
        for (int i = 0; i < 16 && !in_.empty(); ++i) {
            bool stop = in_.front().failure || in_.front().bytes.empty();
            in_.pop_front();
            if (stop) break;
        }
    }

  private:
    struct Item {
        Bytes bytes;
        std::optional<std::string> failure;
        size_t offset = 0;
    };
    std::deque<Item> in_;
    std::function<Reply(const Command&)> responder_;
};

// A DeviceInfo dataset listing the given operations.
inline Bytes deviceInfo(const std::vector<mtp::Op>& operations) {
    Bytes bytes;
    mtp::appendU16(bytes, 100);  // StandardVersion
    mtp::appendU32(bytes, 6);    // VendorExtensionID
    mtp::appendU16(bytes, 100);  // MTPVersion
    mtp::appendU8(bytes, 0);     // MTPExtensions
    mtp::appendU16(bytes, 0);    // FunctionalMode
    mtp::appendU32(bytes, static_cast<uint32_t>(operations.size()));
    for (mtp::Op op : operations) mtp::appendU16(bytes, mtp::wire(op));
    return bytes;
}

}  // namespace mtptest
