#include "tools/phonesim/SimulatedPhone.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "tools/phonesim/PhoneImpl.h"
#include "tools/phonesim/WireFormat.h"

namespace phonesim {

namespace {

constexpr size_t headerSize = 12;
// A command container holds at most 5 parameters; anything far longer is garbage.
constexpr uint32_t longestCommand = 1024;

uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t readU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Consumes one hit of a trigger if it matches op.
bool hits(FaultTrigger& trigger, mtp::Op op) {
    if (!trigger.armed() || !trigger.matches(op)) return false;
    if (trigger.times > 0) --trigger.times;
    return true;
}

Receiver swallow() {
    Receiver r;
    r.chunk = [](std::span<const uint8_t>) {};
    r.end = [] { return Reply{}; };
    return r;
}

}  // namespace

uint64_t PhoneStats::count(mtp::Op op) const {
    auto it = operations.find(op);
    return it == operations.end() ? 0 : it->second;
}

uint64_t PhoneStats::transactions() const {
    uint64_t total = 0;
    for (const auto& [op, n] : operations) total += n;
    return total;
}

SimulatedPhone::Impl::Impl(PhoneConfig cfg)
    : config(std::move(cfg)), faults(config.faults), link(config.link), store(config.storages) {
    if (config.maxPacketSize <= 0) throw std::invalid_argument("maxPacketSize must be positive");
    friendlyName = config.friendlyName.empty() ? config.model : config.friendlyName;
    // The store reports changes made under the lock.
    store.setEventSink(
        [this](mtp::Event code, uint32_t handle) REQUIRES(mutex) { queueEvent(code, handle); });
}

void SimulatedPhone::Impl::queueEvent(mtp::Event code, uint32_t handle) {
    // Nobody may be reading the interrupt pipe; keep only the latest events.
    constexpr size_t maxEvents = 1024;
    if (events.size() >= maxEvents) events.pop_front();
    Bytes event;
    WireWriter w(event);
    w.u32(16);
    w.u16(mtp::wire(mtp::ContainerType::Event));
    w.u16(mtp::wire(code));
    w.u32(0);
    w.u32(handle);
    events.push_back(std::move(event));
}

bool SimulatedPhone::Impl::crossesUnplugLimit(size_t bytes) {
    if (!faults.unplugAfterBytes) return false;
    if (bytesSinceFaults + bytes > *faults.unplugAfterBytes) {
        unplugged = true;
        abortTransaction();
        closeSession();
        return true;
    }
    bytesSinceFaults += bytes;
    return false;
}

void SimulatedPhone::Impl::closeSession() {
    // Android commits open edits when the session ends.
    for (uint32_t handle : edits) {
        if (Node* node = store.object(handle)) node->modified = std::time(nullptr);
    }
    edits.clear();
    pendingObject.reset();
    sessionOpen = false;
    sessionID = 0;
}

void SimulatedPhone::Impl::abortTransaction() {
    if (dataIn && awaiting && awaiting->receiver.abort) awaiting->receiver.abort();
    awaiting.reset();
    dataIn.reset();
    outBuffer.clear();
    inQueue.clear();
}

TransferStatus SimulatedPhone::Impl::bulkOut(std::span<const uint8_t> transfer) {
    if (unplugged) return TransferStatus::noDevice;
    if (outHalted) return TransferStatus::stall;
    if (crossesUnplugLimit(transfer.size())) return TransferStatus::noDevice;
    // A stalled transfer never reaches the phone's MTP layer.
    bool startsContainer = !dataIn && outBuffer.empty();
    if (startsContainer && transfer.size() >= 8 &&
        readU16(transfer.data() + 4) == mtp::wire(mtp::ContainerType::Command) &&
        !faults.stallInDataPhase && hits(faults.stallOut, mtp::Op{readU16(transfer.data() + 6)})) {
        outHalted = true;
        return TransferStatus::stall;
    }
    if (startsContainer && awaiting && awaiting->stallData) {
        awaiting.reset();
        outHalted = true;
        return TransferStatus::stall;
    }
    ++stats.transfersOut;
    stats.bytesFromHost += transfer.size();
    stats.linkTime += link.transferTime(transfer.size(), config.maxPacketSize);
    feed(transfer);
    return TransferStatus::ok;
}

void SimulatedPhone::Impl::feed(std::span<const uint8_t> transfer) {
    size_t pos = 0;
    while (pos < transfer.size()) {
        if (dataIn) {
            size_t take = transfer.size() - pos;
            if (dataIn->expected) {
                take = static_cast<size_t>(
                    std::min<uint64_t>(take, *dataIn->expected - dataIn->received));
            }
            if (awaiting) awaiting->receiver.chunk(transfer.subspan(pos, take));
            dataIn->received += take;
            pos += take;
            if (dataIn->expected && dataIn->received == *dataIn->expected) finishData();
            continue;
        }
        if (outBuffer.size() < headerSize) {
            size_t take = std::min(headerSize - outBuffer.size(), transfer.size() - pos);
            outBuffer.insert(outBuffer.end(), transfer.begin() + static_cast<ptrdiff_t>(pos),
                             transfer.begin() + static_cast<ptrdiff_t>(pos + take));
            pos += take;
            if (outBuffer.size() < headerSize) break;
        }
        uint32_t length = std::max<uint32_t>(readU32(outBuffer.data()), headerSize);
        uint16_t type = readU16(outBuffer.data() + 4);
        if (type == 2) {
            dataIn = DataIn{};
            if (length != 0xFFFFFFFF) dataIn->expected = length - headerSize;
            outBuffer.clear();
            if (!awaiting) {
                // Data nobody asked for: swallowed, as a phone would.
                Awaiting discard;
                discard.noAnswer = true;
                discard.receiver = swallow();
                awaiting = std::move(discard);
            }
            if (awaiting->receiver.begin) awaiting->receiver.begin(dataIn->expected);
            if (dataIn->expected == 0u) finishData();
            continue;
        }
        if (length > longestCommand) {  // garbage: drop the rest of this transfer
            outBuffer.clear();
            return;
        }
        size_t take = std::min<size_t>(length - outBuffer.size(), transfer.size() - pos);
        outBuffer.insert(outBuffer.end(), transfer.begin() + static_cast<ptrdiff_t>(pos),
                         transfer.begin() + static_cast<ptrdiff_t>(pos + take));
        pos += take;
        if (outBuffer.size() == length) {
            Bytes container = std::move(outBuffer);
            outBuffer.clear();
            if (type == 1) onCommand(container);
        }
    }
    // A data phase of unknown length ends with the first short or zero-length transfer.
    size_t packet = static_cast<size_t>(config.maxPacketSize);
    if (dataIn && !dataIn->expected && (transfer.empty() || transfer.size() % packet != 0)) {
        finishData();
    }
}

void SimulatedPhone::Impl::onCommand(std::span<const uint8_t> container) {
    Command command;
    command.op = mtp::Op{readU16(container.data() + 6)};
    command.transactionID = readU32(container.data() + 8);
    for (size_t at = headerSize; at + 4 <= container.size() && command.params.size() < 5; at += 4) {
        command.params.push_back(readU32(container.data() + at));
    }
    ++stats.operations[command.op];
    if (answeredAt) stats.idleTime += std::chrono::steady_clock::now() - *answeredAt;
    answeredAt.reset();

    // A new command ends whatever the host gave up on.
    if (awaiting) {
        if (dataIn && awaiting->receiver.abort) awaiting->receiver.abort();
        awaiting.reset();
        dataIn.reset();
    }
    std::erase_if(inQueue, [](const InContainer& c) { return c.hangAtEnd; });
    // Android drops an announced file unless SendObject comes next.
    if (command.op != mtp::Op::SendObject && pendingObject) pendingObject.reset();

    bool wrongID = hits(faults.wrongTransactionID, command.op);
    if (hasDataOut(command.op)) {
        Awaiting next;
        next.command = command;
        next.wrongTransactionID = wrongID;
        next.stallData = faults.stallInDataPhase && hits(faults.stallOut, command.op);
        next.receiver = receiverFor(command);
        awaiting = std::move(next);
        return;
    }
    queueReply(command, execute(command), wrongID);
}

void SimulatedPhone::Impl::finishData() {
    std::optional<Awaiting> done = std::move(awaiting);
    awaiting.reset();
    dataIn.reset();
    if (!done) return;
    Reply reply = done->receiver.end();
    if (!done->noAnswer) queueReply(done->command, std::move(reply), done->wrongTransactionID);
}

void SimulatedPhone::Impl::queueReply(const Command& command, Reply reply, bool wrongID) {
    if (hits(faults.stallIn, command.op)) {
        inHalted = true;
        return;
    }
    uint64_t mps = static_cast<uint64_t>(config.maxPacketSize);
    bool first = true;
    if (reply.data) {
        InContainer data;
        uint64_t wire = headerSize + reply.data->length;
        WireWriter w(data.header);
        w.u32(faults.unknownLengthData || wire > 0xFFFFFFFF ? 0xFFFFFFFF
                                                            : static_cast<uint32_t>(wire));
        w.u16(mtp::wire(mtp::ContainerType::Data));
        w.u16(mtp::wire(command.op));
        w.u32(command.transactionID);
        data.payload = std::move(*reply.data);
        data.wireLength = wire;
        data.firstOfReply = true;
        bool partial =
            command.op == mtp::Op::GetPartialObject || command.op == mtp::Op::GetPartialObject64;
        if (faults.partialReadHangQuirk && partial && wire % mps == 0) {
            data.hangAtEnd = true;
            inQueue.push_back(std::move(data));
            return;  // the response never comes
        }
        inQueue.push_back(std::move(data));
        first = false;
    }
    InContainer response;
    WireWriter w(response.header);
    w.u32(static_cast<uint32_t>(headerSize + 4 * reply.params.size()));
    w.u16(mtp::wire(mtp::ContainerType::Response));
    w.u16(mtp::wire(reply.code));
    w.u32(wrongID ? command.transactionID + 0x1000 : command.transactionID);
    for (uint32_t p : reply.params) w.u32(p);
    response.wireLength = response.header.size();
    response.firstOfReply = first;
    inQueue.push_back(std::move(response));
}

InTransfer SimulatedPhone::Impl::bulkIn(std::span<uint8_t> buffer) {
    if (unplugged) return {TransferStatus::noDevice, 0, {}};
    if (inHalted) return {TransferStatus::stall, 0, {}};
    if (inQueue.empty() || buffer.empty()) return {TransferStatus::pending, 0, {}};
    InContainer& c = inQueue.front();
    if (c.stuck) return {TransferStatus::pending, 0, {}};
    if (c.zeroLengthOwed) {
        inQueue.pop_front();
        ++stats.transfersIn;
        const auto wire = link.transferTime(0, config.maxPacketSize);
        stats.linkTime += wire;
        return {TransferStatus::ok, 0, wire};
    }
    uint64_t mps = static_cast<uint64_t>(config.maxPacketSize);
    uint64_t remaining = c.wireLength - c.sent;
    size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), remaining));
    bool endsContainer = n == remaining;
    bool endsOnPacket = c.wireLength % mps == 0;
    // Without the zero-length packet a transfer with room left never completes.
    if (endsContainer && endsOnPacket && n < buffer.size() && c.hangAtEnd) {
        c.stuck = true;
        return {TransferStatus::pending, 0, {}};
    }
    if (crossesUnplugLimit(n)) return {TransferStatus::noDevice, 0, {}};

    std::chrono::nanoseconds delay = link.transferTime(n, config.maxPacketSize);
    if (c.firstOfReply && c.sent == 0) delay += link.latencyPerTransaction;
    size_t done = 0;
    if (c.sent < c.header.size()) {
        done = static_cast<size_t>(std::min<uint64_t>(n, c.header.size() - c.sent));
        std::memcpy(buffer.data(), c.header.data() + c.sent, done);
    }
    if (done < n) {
        uint64_t payloadPos = c.sent + done - c.header.size();
        c.payload.read(payloadPos, buffer.subspan(done, n - done));
    }
    c.sent += n;
    ++stats.transfersIn;
    stats.linkTime += delay;
    stats.bytesToHost += n;
    if (endsContainer) {
        if (endsOnPacket && n == buffer.size()) {
            if (c.hangAtEnd) {
                c.stuck = true;
            } else {
                c.zeroLengthOwed = true;
            }
        } else {
            inQueue.pop_front();
        }
    }
    if (inQueue.empty()) answeredAt = std::chrono::steady_clock::now();
    return {TransferStatus::ok, n, delay};
}

// --- SimulatedPhone ---

SimulatedPhone::SimulatedPhone(PhoneConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {}
SimulatedPhone::~SimulatedPhone() = default;

int SimulatedPhone::maxPacketSize() const {
    return impl_->config.maxPacketSize;
}

TransferStatus SimulatedPhone::bulkOut(std::span<const uint8_t> transfer) {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->bulkOut(transfer);
}

InTransfer SimulatedPhone::bulkIn(std::span<uint8_t> buffer) {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->bulkIn(buffer);
}

std::optional<Bytes> SimulatedPhone::interruptIn() {
    mtp::MutexLocker lock(impl_->mutex);
    if (impl_->unplugged || impl_->eventsHalted || impl_->events.empty()) return std::nullopt;
    Bytes event = std::move(impl_->events.front());
    impl_->events.pop_front();
    return event;
}

bool SimulatedPhone::interruptStalls() {
    mtp::MutexLocker lock(impl_->mutex);
    if (impl_->unplugged) return false;
    if (!impl_->eventsHalted && impl_->faults.stallEvents > 0) {
        --impl_->faults.stallEvents;
        impl_->eventsHalted = true;
    }
    return impl_->eventsHalted;
}

void SimulatedPhone::cancel() {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->abortTransaction();
    impl_->pendingObject.reset();
}

void SimulatedPhone::reset() {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->abortTransaction();
    impl_->closeSession();
    impl_->outHalted = impl_->inHalted = impl_->eventsHalted = false;
}

mtp::Response SimulatedPhone::deviceStatus() const {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->dataIn ? mtp::Response::DeviceBusy : mtp::Response::OK;
}

void SimulatedPhone::clearHalt(Endpoint endpoint) {
    mtp::MutexLocker lock(impl_->mutex);
    switch (endpoint) {
        case Endpoint::bulkOut:
            impl_->outHalted = false;
            break;
        case Endpoint::bulkIn:
            impl_->inHalted = false;
            break;
        case Endpoint::interrupt:
            impl_->eventsHalted = false;
            break;
    }
}

void SimulatedPhone::unplug() {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->unplugged = true;
    impl_->abortTransaction();
    impl_->closeSession();
}

bool SimulatedPhone::isUnplugged() const {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->unplugged;
}

void SimulatedPhone::replug() {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->unplugged = false;
    impl_->outHalted = impl_->inHalted = impl_->eventsHalted = false;
    impl_->abortTransaction();
    impl_->closeSession();
    impl_->events.clear();
    impl_->bytesSinceFaults = 0;
}

LinkModel SimulatedPhone::link() const {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->link;
}

void SimulatedPhone::setLink(LinkModel link) {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->link = link;
}

Faults SimulatedPhone::faults() const {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->faults;
}

void SimulatedPhone::setFaults(Faults faults) {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->faults = std::move(faults);
    impl_->bytesSinceFaults = 0;
}

void SimulatedPhone::updateFaults(const std::function<void(Faults&)>& change) {
    mtp::MutexLocker lock(impl_->mutex);
    std::optional<uint64_t> before = impl_->faults.unplugAfterBytes;
    change(impl_->faults);
    if (impl_->faults.unplugAfterBytes != before) impl_->bytesSinceFaults = 0;
}

PhoneStats SimulatedPhone::stats() const {
    mtp::MutexLocker lock(impl_->mutex);
    PhoneStats stats = impl_->stats;
    // The wait going on now counts up to this moment, so that the difference of two snapshots
    // holds only the waits between them.
    if (impl_->answeredAt) stats.idleTime += std::chrono::steady_clock::now() - *impl_->answeredAt;
    return stats;
}

void SimulatedPhone::resetStats() {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->stats = PhoneStats{};
}

std::string SimulatedPhone::statsJson() const {
    PhoneStats s = stats();
    std::string out = "{\"operations\":{";
    bool first = true;
    for (const auto& [op, n] : s.operations) {
        char item[48];
        std::snprintf(item, sizeof item, "%s\"0x%04X\":%llu", first ? "" : ",", mtp::wire(op),
                      static_cast<unsigned long long>(n));
        out += item;
        first = false;
    }
    out +=
        "},\"bytesFromHost\":" + std::to_string(s.bytesFromHost) +
        ",\"bytesToHost\":" + std::to_string(s.bytesToHost) +
        ",\"transfersOut\":" + std::to_string(s.transfersOut) +
        ",\"transfersIn\":" + std::to_string(s.transfersIn) + ",\"linkMicroseconds\":" +
        std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(s.linkTime).count()) +
        "}";
    return out;
}

// --- Phone side ---

Storage& SimulatedPhone::Impl::storageOrThrow(uint32_t id) {
    Storage* s = store.storage(id);
    if (!s) throw std::invalid_argument("no storage " + std::to_string(id));
    return *s;
}

Node& SimulatedPhone::Impl::folderForPath(Storage& storage, std::string_view path) {
    Node* node = &storage.root;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t slash = path.find('/', pos);
        std::string_view part =
            path.substr(pos, slash == std::string_view::npos ? path.npos : slash - pos);
        pos = slash == std::string_view::npos ? path.size() : slash + 1;
        if (part.empty()) continue;
        if (!isValidName(part)) throw std::invalid_argument("invalid name in " + std::string(path));
        Node* child = store.findChild(*node, part);
        if (!child) {
            child = store.createFolder(*node, std::string(part), 0, true, std::time(nullptr));
        } else if (!child->isFolder) {
            throw std::invalid_argument("a file is in the way of " + std::string(path));
        }
        node = child;
    }
    return *node;
}

namespace {

std::pair<std::string_view, std::string_view> splitPath(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

uint32_t SimulatedPhone::storageID(size_t index) const {
    mtp::MutexLocker lock(impl_->mutex);
    if (index >= impl_->store.storages().size()) throw std::invalid_argument("no such storage");
    return impl_->store.storages()[index]->id;
}

std::vector<uint32_t> SimulatedPhone::storageIDs() const {
    mtp::MutexLocker lock(impl_->mutex);
    std::vector<uint32_t> ids;
    for (auto& s : impl_->store.storages()) ids.push_back(s->id);
    return ids;
}

void SimulatedPhone::addFolder(uint32_t storage, std::string_view path) {
    mtp::MutexLocker lock(impl_->mutex);
    impl_->folderForPath(impl_->storageOrThrow(storage), path);
}

void SimulatedPhone::addFile(uint32_t storage, std::string_view path, Bytes content,
                             std::optional<std::time_t> modified) {
    mtp::MutexLocker lock(impl_->mutex);
    auto [folderPath, name] = splitPath(path);
    if (!isValidName(name))
        throw std::invalid_argument("invalid file name in " + std::string(path));
    Node& folder = impl_->folderForPath(impl_->storageOrThrow(storage), folderPath);
    if (impl_->store.findChild(folder, name))
        throw std::invalid_argument(std::string(path) + " exists");
    std::time_t when = modified.value_or(std::time(nullptr));
    Node* file =
        impl_->store.createFile(folder, std::string(name), formatForName(name), 0, true, when);
    impl_->store.write(*file, 0, content);
    file->modified = when;
    impl_->store.complete(*file);
}

void SimulatedPhone::addFileFromDisk(uint32_t storage, std::string_view path,
                                     const std::filesystem::path& source) {
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(source, ec);
    if (ec) throw std::invalid_argument("cannot read " + source.string() + ": " + ec.message());
    Bytes content(static_cast<size_t>(size));
    std::FILE* f = std::fopen(source.c_str(), "rb");
    if (!f) throw std::invalid_argument("cannot open " + source.string());
    size_t got = std::fread(content.data(), 1, content.size(), f);
    std::fclose(f);
    content.resize(got);
    addFile(storage, path, std::move(content));
}

void SimulatedPhone::addSparseFile(uint32_t storage, std::string_view path, uint64_t size) {
    mtp::MutexLocker lock(impl_->mutex);
    Storage& s = impl_->storageOrThrow(storage);
    if (!s.onDisk()) throw std::invalid_argument("sparse files need a folder-backed storage");
    auto [folderPath, name] = splitPath(path);
    if (!isValidName(name))
        throw std::invalid_argument("invalid file name in " + std::string(path));
    Node& folder = impl_->folderForPath(s, folderPath);
    if (impl_->store.findChild(folder, name))
        throw std::invalid_argument(std::string(path) + " exists");
    std::time_t now = std::time(nullptr);
    Node* file =
        impl_->store.createFile(folder, std::string(name), formatForName(name), 0, true, now);
    impl_->store.truncate(*file, size);
}

bool SimulatedPhone::removeObject(uint32_t storage, std::string_view path) {
    mtp::MutexLocker lock(impl_->mutex);
    Node* node = impl_->store.find(impl_->storageOrThrow(storage), path);
    if (!node || !node->parent) return false;
    impl_->store.remove(*node, true);
    impl_->pruneEdits();
    return true;
}

std::optional<Bytes> SimulatedPhone::readFile(uint32_t storage, std::string_view path) const {
    mtp::MutexLocker lock(impl_->mutex);
    Node* node = impl_->store.find(impl_->storageOrThrow(storage), path);
    if (!node || node->isFolder) return std::nullopt;
    Bytes bytes(static_cast<size_t>(node->size));
    impl_->store.read(*node, 0, bytes);
    return bytes;
}

std::optional<uint32_t> SimulatedPhone::handleOf(uint32_t storage, std::string_view path) const {
    mtp::MutexLocker lock(impl_->mutex);
    Node* node = impl_->store.find(impl_->storageOrThrow(storage), path);
    if (!node || node->handle == 0) return std::nullopt;
    return node->handle;
}

std::vector<ObjectRecord> SimulatedPhone::listAll() const {
    mtp::MutexLocker lock(impl_->mutex);
    std::vector<ObjectRecord> out;
    std::function<void(Node&)> walk = [&](Node& folder) REQUIRES(impl_->mutex) {
        for (Node* child : impl_->store.children(folder)) {
            out.push_back(ObjectRecord{child->storage->id, impl_->store.relativePath(*child),
                                       child->isFolder, child->size, child->handle,
                                       child->modified});
            if (child->isFolder) walk(*child);
        }
    };
    for (auto& s : impl_->store.storages()) walk(s->root);
    return out;
}

uint64_t SimulatedPhone::freeSpace(uint32_t storage) const {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->freeOf(impl_->storageOrThrow(storage));
}

bool SimulatedPhone::isSessionOpen() const {
    mtp::MutexLocker lock(impl_->mutex);
    return impl_->sessionOpen;
}

std::vector<uint32_t> SimulatedPhone::openEdits() const {
    mtp::MutexLocker lock(impl_->mutex);
    return {impl_->edits.begin(), impl_->edits.end()};
}

}  // namespace phonesim
