#include "fs/WriteGatherer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "mtp/MTPEditor.h"

namespace kestrum {

namespace {

// A run is handed off once it reaches the editor's chunk, bytes: one SendPartialObject.
constexpr size_t runLimit = mtp::MTPEditor::chunkSize;

// Stops the program when function runs on the volume's queue: it waits for that queue, which
// would then wait for it.
void verifyOffQueue(const SerialQueue& queue, const char* function) {
    if (!queue.isCurrent()) return;
    fprintf(stderr, "kestrumfs: %s must not run on queue %s\n", function, queue.label().c_str());
    Log::fault("%s must not run on queue %s", function, queue.label().c_str());
    std::abort();
}

}  // namespace

WriteGatherer::WriteGatherer(Volume& volume, std::function<void(uint64_t id)> failed)
    : volume_(volume), failed_(std::move(failed)) {}

bool WriteGatherer::gathers(uint64_t id) {
    return id != neverIndexID && id != dsStoreID && id < firstMemoryID;
}

void WriteGatherer::opened(Handle handle, uint64_t id) {
    mtp::MutexLocker guard(lock_);
    bool firstWriter = true;
    for (const auto& [other, file] : writers_) firstWriter = firstWriter && file != id;
    if (firstWriter) failures_.erase(id);
    writers_[handle] = id;
}

void WriteGatherer::released(Handle handle) {
    mtp::MutexLocker guard(lock_);
    pending_.erase(handle);
    const auto found = writers_.find(handle);
    if (found == writers_.end()) return;
    const uint64_t id = found->second;
    writers_.erase(found);
    for (const auto& [other, file] : writers_)
        if (file == id) return;
    failures_.erase(id);
}

void WriteGatherer::write(Handle handle, uint64_t id, uint64_t offset,
                          std::span<const uint8_t> bytes) {
    verifyOffQueue(volume_.queue(), __func__);
    if (const int code = takeError(handle)) throw PosixError(code);
    mtp::MutexLocker lock(lock_);
    // Past what the phone holds of a failed file: the bytes would leave a gap.
    if (const auto found = failures_.find(id);
        found != failures_.end() && offset > found->second.frontier) {
        throw PosixError(found->second.code);
    }
    const bool continues = !filling_.bytes.empty() && filling_.id == id &&
                           filling_.offset + filling_.bytes.size() == offset &&
                           filling_.bytes.size() + bytes.size() <= runLimit;
    if (!continues && !filling_.bytes.empty()) {
        lock.unlock();
        handOff();
        lock.lock();
    }
    if (filling_.bytes.empty()) {
        filling_.id = id;
        filling_.offset = offset;
        filling_.bytes.reserve(runLimit);
    }
    filling_.bytes.insert(filling_.bytes.end(), bytes.begin(), bytes.end());
    const bool full = filling_.bytes.size() >= runLimit;
    lock.unlock();
    if (full) handOff();
}

void WriteGatherer::handOff() {
    verifyOffQueue(volume_.queue(), __func__);
    mtp::MutexLocker lock(lock_);
    if (filling_.bytes.empty()) return;
    // At most one run waits while another is sent: the writer waits for the phone from here.
    while (runsQueued_ >= 2) sent_.wait(lock);
    auto run = std::make_shared<Run>(std::move(filling_));
    filling_ = {};
    ++runsQueued_;
    lock.unlock();
    volume_.queue().submit([this, run] { send(*run); });
}

int WriteGatherer::takeError(Handle handle) {
    mtp::MutexLocker guard(lock_);
    const auto found = pending_.find(handle);
    if (found == pending_.end()) return 0;
    const int code = found->second;
    pending_.erase(found);
    return code;
}

void WriteGatherer::send(const Run& run) {
    VERIFY_ON_QUEUE(volume_.queue());
    std::optional<Failure> refusal;
    {
        mtp::MutexLocker guard(lock_);
        if (const auto found = failures_.find(run.id);
            found != failures_.end() && run.offset > found->second.frontier) {
            refusal = found->second;
        }
    }
    size_t done = 0;
    int code = refusal ? refusal->code : 0;
    if (!refusal) {
        try {
            // A short write means the phone failed after storing part: the next call says why.
            while (done < run.bytes.size()) {
                const auto rest = std::span<const uint8_t>(run.bytes).subspan(done);
                done += volume_.write(run.id, static_cast<int64_t>(run.offset + done), rest);
            }
        } catch (const PosixError& error) {
            code = error.code;
        } catch (const std::exception& error) {
            Log::error("write: %s", error.what());
            code = EIO;
        }
    }
    {
        mtp::MutexLocker guard(lock_);
        --runsQueued_;
        // A refused run was gathered before its writers could learn of the failure, which
        // they get once.
        if (code && !refusal) {
            fail(run.id, code, run.offset + done);
        } else if (const auto found = failures_.find(run.id); !code && found != failures_.end()) {
            found->second.frontier = std::max(found->second.frontier, run.offset + done);
        }
    }
    sent_.notify_all();
    if (code && failed_) failed_(run.id);
}

void WriteGatherer::fail(uint64_t id, int code, uint64_t frontier) {
    for (const auto& [handle, file] : writers_)
        if (file == id) pending_.try_emplace(handle, code);
    const auto [found, fresh] = failures_.try_emplace(id, Failure{code, frontier});
    if (!fresh) found->second.frontier = std::min(found->second.frontier, frontier);
}

}  // namespace kestrum
