#pragma once
// The phone's storages and object tree, backed by memory or by a folder on disk. Hands out
// object handles when a folder is first listed, never reusing one. Not thread-safe: the
// SimulatedPhone's lock guards it.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/phonesim/SimulatedPhone.h"

namespace phonesim {

// An open file descriptor, closed on destruction.
class FileHandle {
  public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

struct Storage;

struct Node {
    uint32_t handle = 0;  // 0: not handed out yet
    Storage* storage = nullptr;
    Node* parent = nullptr;  // nullptr: the storage's top level itself
    std::string name;
    bool isFolder = false;
    mtp::Format format = mtp::Format::Undefined;
    uint64_t size = 0;  // files only
    std::time_t modified = 0;
    std::shared_ptr<Bytes> content;  // files of memory storages (copied on write when shared)
    std::vector<std::unique_ptr<Node>> children;
    bool loaded = false;      // children known (folders on disk are read on first need)
    bool listed = false;      // the host listed this folder: its children carry handles
    bool incomplete = false;  // a file whose SendObject is still arriving: invisible
};

struct Storage {
    uint32_t id = 0;
    StorageConfig config;
    Node root;
    uint64_t used = 0;  // bytes of the files stored (modelled capacity)
    bool onDisk() const { return config.folder.has_value(); }
};

// Bytes of a data phase: a small dataset, or a range of a file's content read as it is sent.
struct Payload {
    Bytes bytes;
    std::shared_ptr<const Bytes> memory;
    std::shared_ptr<FileHandle> file;
    uint64_t offset = 0;  // in memory or file
    uint64_t length = 0;
    static Payload of(Bytes bytes) {
        Payload p;
        p.length = bytes.size();
        p.bytes = std::move(bytes);
        return p;
    }
    // Copies payload bytes [position, position + destination.size()); unreadable bytes are 0.
    void read(uint64_t position, std::span<uint8_t> destination) const;
};

// Throws std::system_error when the disk fails; callers turn it into an MTP response.
class ObjectStore {
  public:
    using EventSink = std::function<void(mtp::Event code, uint32_t handle)>;

    explicit ObjectStore(const std::vector<StorageConfig>& configs);

    std::vector<std::unique_ptr<Storage>>& storages() { return storages_; }
    Storage* storage(uint32_t id);
    Node* object(uint32_t handle);
    void setEventSink(EventSink sink) { events_ = std::move(sink); }

    uint64_t capacity(const Storage& storage) const;
    uint64_t freeSpace(const Storage& storage) const;

    // Reads a folder's children from disk if not done yet.
    void ensureLoaded(Node& folder);
    // The host lists a folder: children get handles; later phone-side changes raise events.
    std::vector<Node*> list(Node& folder);
    // Visible children (loads them), without handing out handles.
    std::vector<Node*> children(Node& folder);
    Node* findChild(Node& folder, std::string_view name, const Node* except = nullptr);
    // Resolves a '/'-separated path below a storage's top level (case-insensitive).
    Node* find(Storage& storage, std::string_view path);

    std::filesystem::path pathOf(const Node& node) const;
    std::string relativePath(const Node& node) const;
    uint32_t reserveHandle() { return nextHandle_++; }

    Payload payload(Node& file, uint64_t offset, uint64_t length);
    size_t read(Node& file, uint64_t offset, std::span<uint8_t> destination);
    void write(Node& file, uint64_t offset, std::span<const uint8_t> bytes);
    void truncate(Node& file, uint64_t size);

    // New objects. handle 0: one is handed out if the parent was listed. phoneSide: the
    // phone itself made the change, so an ObjectAdded event is raised for listed folders.
    Node* createFolder(Node& parent, std::string name, uint32_t handle, bool phoneSide,
                       std::time_t modified);
    Node* createFile(Node& parent, std::string name, mtp::Format format, uint32_t handle,
                     bool phoneSide, std::time_t modified);
    // Ends an incomplete file (the end of its SendObject).
    void complete(Node& file);
    // Removes an object and everything inside it; phoneSide raises ObjectRemoved.
    void remove(Node& node, bool phoneSide);
    void rename(Node& node, std::string name);
    // Moves into another folder, across storages too (content copied, handles kept).
    void move(Node& node, Node& newParent);
    // Copies into a folder; the copy gets a new handle, its content none until listed.
    Node* copy(Node& node, Node& newParent);

    uint64_t treeSize(Node& node);  // bytes of all files inside (loads folders)
    bool isInside(const Node& node, const Node& folder) const;  // folder or below it

  private:
    Node* adopt(Node& parent, std::unique_ptr<Node> child, uint32_t handle, bool phoneSide);
    std::unique_ptr<Node> detach(Node& node);
    void forgetHandles(Node& node);
    Node* copyTree(Node& source, Node& parent, const std::string& name);
    void transferHandles(Node& from, Node& to);
    void loadFromDisk(Node& folder);
    std::unique_ptr<Node> nodeFromDisk(Node& parent, const std::filesystem::directory_entry& e);

    std::vector<std::unique_ptr<Storage>> storages_;
    std::map<uint32_t, Node*> handles_;
    uint32_t nextHandle_ = 1;
    EventSink events_;
};

// Object format from a file name's extension (Undefined when unknown).
mtp::Format formatForName(std::string_view name);

}  // namespace phonesim
