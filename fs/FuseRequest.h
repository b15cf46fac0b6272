#pragma once
// One FUSE request that must be answered exactly once. Move-only; every reply method consumes
// it (call it on an rvalue: std::move(request).replyError(ENOENT)), so a request that was
// answered is empty and cannot be answered again, even by an error path that runs after a
// successful reply. Only the FUSE host includes this header.

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include "fs/Log.h"

namespace kestrum {

class FuseRequest {
  public:
    // Takes the request to answer; req must not be answered through any other path.
    explicit FuseRequest(fuse_req_t req) : req_(req) {}
    FuseRequest(FuseRequest&& other) noexcept : req_(std::exchange(other.req_, nullptr)) {}
    FuseRequest& operator=(FuseRequest&&) = delete;
    FuseRequest(const FuseRequest&) = delete;
    FuseRequest& operator=(const FuseRequest&) = delete;
    // A request dropped unanswered is a bug; the kernel would wait for it forever, so it gets
    // EIO here.
    ~FuseRequest() {
        if (!req_) return;
        Log::error("fuse request dropped without a reply");
        fuse_reply_err(req_, EIO);
    }

    // Whether the request still waits for its reply.
    explicit operator bool() const { return req_ != nullptr; }
    // The host the session serves (fuse_session_new's user data). Not after the reply.
    template <typename Host>
    Host& host() const {
        return *static_cast<Host*>(fuse_req_userdata(req_));
    }
    // For fuse_add_direntry and fuse_add_direntry_plus, which only read the session's settings.
    fuse_req_t raw() const { return req_; }

    // Each returns whether the kernel took the reply (false: the request was interrupted or the
    // session is gone; for replies that count as lookups the kernel then counts none).
    bool replyError(int code) && { return fuse_reply_err(take(), code) == 0; }
    void replyNone() && { fuse_reply_none(take()); }
    bool replyEntry(const fuse_entry_param& entry) && {
        return fuse_reply_entry(take(), &entry) == 0;
    }
    bool replyCreate(const fuse_entry_param& entry, const fuse_file_info& info) && {
        return fuse_reply_create(take(), &entry, &info) == 0;
    }
    bool replyAttr(const struct stat& attributes, double timeout) && {
        return fuse_reply_attr(take(), &attributes, timeout) == 0;
    }
    bool replyOpen(const fuse_file_info& info) && { return fuse_reply_open(take(), &info) == 0; }
    bool replyWrite(size_t count) && { return fuse_reply_write(take(), count) == 0; }
    bool replyBuffer(const void* bytes, size_t size) && {
        return fuse_reply_buf(take(), static_cast<const char*>(bytes), size) == 0;
    }
    bool replyStatfs(const struct statvfs& statistics) && {
        return fuse_reply_statfs(take(), &statistics) == 0;
    }
    bool replyXattrSize(size_t size) && { return fuse_reply_xattr(take(), size) == 0; }

  private:
    fuse_req_t take() { return std::exchange(req_, nullptr); }
    fuse_req_t req_;
};

}  // namespace kestrum
