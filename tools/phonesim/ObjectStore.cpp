#include "tools/phonesim/ObjectStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "tools/phonesim/WireFormat.h"

namespace phonesim {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t storageIDFor(size_t index) {
    return static_cast<uint32_t>((index + 1) << 16 | 1);
}

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::shared_ptr<FileHandle> openFile(const fs::path& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) throwErrno("open " + path.string());
    return std::make_shared<FileHandle>(fd);
}

void setModified(const fs::path& path, std::time_t time) {
    timespec times[2] = {{time, 0}, {time, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);  // cosmetic; a failure changes nothing else
}

size_t preadAll(int fd, uint64_t offset, std::span<uint8_t> destination) {
    size_t done = 0;
    while (done < destination.size()) {
        ssize_t n = ::pread(fd, destination.data() + done, destination.size() - done,
                            static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

void pwriteAll(int fd, uint64_t offset, std::span<const uint8_t> bytes, const fs::path& path) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                             static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno("write " + path.string());
        done += static_cast<size_t>(n);
    }
}

uint64_t diskUsage(const fs::path& folder) {
    uint64_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(folder, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::stat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            total += static_cast<uint64_t>(st.st_size);
        }
    }
    return total;
}

}  // namespace

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

void Payload::read(uint64_t position, std::span<uint8_t> destination) const {
    std::fill(destination.begin(), destination.end(), 0);
    if (position >= length) return;
    size_t n = static_cast<size_t>(std::min<uint64_t>(destination.size(), length - position));
    uint64_t at = offset + position;
    if (memory) {
        if (at < memory->size()) {
            size_t m = static_cast<size_t>(std::min<uint64_t>(n, memory->size() - at));
            std::memcpy(destination.data(), memory->data() + at, m);
        }
    } else if (file) {
        preadAll(file->fd(), at, destination.first(n));
    } else if (position < bytes.size()) {
        size_t m = static_cast<size_t>(std::min<uint64_t>(n, bytes.size() - position));
        std::memcpy(destination.data(), bytes.data() + position, m);
    }
}

ObjectStore::ObjectStore(const std::vector<StorageConfig>& configs) {
    for (size_t i = 0; i < configs.size(); ++i) {
        auto storage = std::make_unique<Storage>();
        storage->id = storageIDFor(i);
        storage->config = configs[i];
        storage->root.storage = storage.get();
        storage->root.isFolder = true;
        storage->root.format = mtp::Format::Association;
        storage->root.loaded = !storage->onDisk();
        if (storage->onDisk()) {
            if (!fs::is_directory(*storage->config.folder)) {
                throw std::invalid_argument("storage folder " + storage->config.folder->string() +
                                            " is not a folder");
            }
            if (storage->config.capacity != 0) storage->used = diskUsage(*storage->config.folder);
        }
        storages_.push_back(std::move(storage));
    }
}

Storage* ObjectStore::storage(uint32_t id) {
    for (auto& s : storages_) {
        if (s->id == id) return s.get();
    }
    return nullptr;
}

Node* ObjectStore::object(uint32_t handle) {
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

uint64_t ObjectStore::capacity(const Storage& storage) const {
    if (storage.onDisk() && storage.config.capacity == 0) {
        struct statvfs st {};
        if (::statvfs(storage.config.folder->c_str(), &st) != 0) return 0;
        return static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
    }
    return storage.config.capacity;
}

uint64_t ObjectStore::freeSpace(const Storage& storage) const {
    if (storage.onDisk() && storage.config.capacity == 0) {
        struct statvfs st {};
        if (::statvfs(storage.config.folder->c_str(), &st) != 0) return 0;
        return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    }
    return storage.config.capacity > storage.used ? storage.config.capacity - storage.used : 0;
}

void ObjectStore::ensureLoaded(Node& folder) {
    if (folder.loaded || !folder.isFolder) return;
    folder.loaded = true;
    if (folder.storage->onDisk()) loadFromDisk(folder);
}

std::unique_ptr<Node> ObjectStore::nodeFromDisk(Node& parent, const fs::directory_entry& e) {
    struct stat st {};
    if (::stat(e.path().c_str(), &st) != 0) return nullptr;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return nullptr;
    auto node = std::make_unique<Node>();
    node->storage = parent.storage;
    node->name = e.path().filename().string();
    node->isFolder = S_ISDIR(st.st_mode);
    node->format = node->isFolder ? mtp::Format::Association : formatForName(node->name);
    node->size = node->isFolder ? 0 : static_cast<uint64_t>(st.st_size);
    node->modified = st.st_mtime;
    return node;
}

void ObjectStore::loadFromDisk(Node& folder) {
    std::vector<std::unique_ptr<Node>> found;
    std::error_code ec;
    for (fs::directory_iterator
             it(pathOf(folder), fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        if (auto node = nodeFromDisk(folder, *it)) found.push_back(std::move(node));
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a->name < b->name; });
    for (auto& node : found) adopt(folder, std::move(node), 0, false);
}

std::vector<Node*> ObjectStore::children(Node& folder) {
    ensureLoaded(folder);
    std::vector<Node*> out;
    for (auto& child : folder.children) {
        if (!child->incomplete) out.push_back(child.get());
    }
    return out;
}

std::vector<Node*> ObjectStore::list(Node& folder) {
    std::vector<Node*> out = children(folder);
    for (Node* child : out) {
        if (child->handle == 0) {
            child->handle = nextHandle_++;
            handles_[child->handle] = child;
        }
    }
    folder.listed = true;
    return out;
}

Node* ObjectStore::findChild(Node& folder, std::string_view name, const Node* except) {
    for (Node* child : children(folder)) {
        if (child != except && sameName(child->name, name)) return child;
    }
    return nullptr;
}

Node* ObjectStore::find(Storage& storage, std::string_view path) {
    Node* node = &storage.root;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        std::string_view part =
            path.substr(pos, slash == std::string_view::npos ? path.npos : slash - pos);
        if (!part.empty()) {
            if (!node->isFolder) return nullptr;
            node = findChild(*node, part);
            if (!node) return nullptr;
        }
        if (slash == std::string_view::npos) break;
        pos = slash + 1;
    }
    return node;
}

std::string ObjectStore::relativePath(const Node& node) const {
    if (!node.parent) return "";
    std::string up = relativePath(*node.parent);
    return up.empty() ? node.name : up + "/" + node.name;
}

fs::path ObjectStore::pathOf(const Node& node) const {
    fs::path base = node.storage->config.folder.value_or(fs::path());
    std::string relative = relativePath(node);
    return relative.empty() ? base : base / relative;
}

Payload ObjectStore::payload(Node& file, uint64_t offset, uint64_t length) {
    Payload p;
    p.offset = offset;
    p.length = length;
    if (file.storage->onDisk()) {
        p.file = openFile(pathOf(file), O_RDONLY);
    } else {
        p.memory = file.content;
    }
    return p;
}

size_t ObjectStore::read(Node& file, uint64_t offset, std::span<uint8_t> destination) {
    if (offset >= file.size) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(destination.size(), file.size - offset));
    payload(file, offset, n).read(0, destination.first(n));
    return n;
}

void ObjectStore::write(Node& file, uint64_t offset, std::span<const uint8_t> bytes) {
    uint64_t end = offset + bytes.size();
    if (file.storage->onDisk()) {
        auto handle = openFile(pathOf(file), O_WRONLY);
        pwriteAll(handle->fd(), offset, bytes, pathOf(file));
    } else {
        if (file.content.use_count() > 1) file.content = std::make_shared<Bytes>(*file.content);
        if (file.content->size() < end) file.content->resize(end);
        std::copy(bytes.begin(), bytes.end(),
                  file.content->begin() + static_cast<ptrdiff_t>(offset));
    }
    if (end > file.size) {
        file.storage->used += end - file.size;
        file.size = end;
    }
    file.modified = std::time(nullptr);
}

void ObjectStore::truncate(Node& file, uint64_t size) {
    if (file.storage->onDisk()) {
        if (::truncate(pathOf(file).c_str(), static_cast<off_t>(size)) != 0) {
            throwErrno("truncate " + pathOf(file).string());
        }
    } else {
        if (file.content.use_count() > 1) file.content = std::make_shared<Bytes>(*file.content);
        file.content->resize(size);
    }
    file.storage->used = file.storage->used - std::min(file.storage->used, file.size) + size;
    file.size = size;
    file.modified = std::time(nullptr);
}

Node* ObjectStore::adopt(Node& parent, std::unique_ptr<Node> child, uint32_t handle,
                         bool phoneSide) {
    child->parent = &parent;
    child->storage = parent.storage;
    if (handle != 0) {
        child->handle = handle;
    } else if (parent.listed && child->handle == 0) {
        child->handle = nextHandle_++;
    }
    if (child->handle != 0) handles_[child->handle] = child.get();
    if (phoneSide && parent.listed && child->handle != 0 && events_) {
        events_(mtp::Event::ObjectAdded, child->handle);
    }
    parent.children.push_back(std::move(child));
    return parent.children.back().get();
}

std::unique_ptr<Node> ObjectStore::detach(Node& node) {
    auto& siblings = node.parent->children;
    auto it = std::find_if(siblings.begin(), siblings.end(),
                           [&](const auto& c) { return c.get() == &node; });
    std::unique_ptr<Node> owned = std::move(*it);
    siblings.erase(it);
    return owned;
}

Node* ObjectStore::createFolder(Node& parent, std::string name, uint32_t handle, bool phoneSide,
                                std::time_t modified) {
    ensureLoaded(parent);
    auto node = std::make_unique<Node>();
    node->name = std::move(name);
    node->isFolder = true;
    node->format = mtp::Format::Association;
    node->loaded = true;
    node->modified = modified;
    node->storage = parent.storage;
    node->parent = &parent;
    if (parent.storage->onDisk()) {
        fs::path path = pathOf(*node);
        if (::mkdir(path.c_str(), 0755) != 0) throwErrno("mkdir " + path.string());
        setModified(path, modified);
    }
    return adopt(parent, std::move(node), handle, phoneSide);
}

Node* ObjectStore::createFile(Node& parent, std::string name, mtp::Format format, uint32_t handle,
                              bool phoneSide, std::time_t modified) {
    ensureLoaded(parent);
    auto node = std::make_unique<Node>();
    node->name = std::move(name);
    node->format = format;
    node->modified = modified;
    node->storage = parent.storage;
    node->parent = &parent;
    if (parent.storage->onDisk()) {
        fs::path path = pathOf(*node);
        openFile(path, O_WRONLY | O_CREAT | O_EXCL);
        setModified(path, modified);
    } else {
        node->content = std::make_shared<Bytes>();
    }
    return adopt(parent, std::move(node), handle, phoneSide);
}

void ObjectStore::complete(Node& file) {
    file.incomplete = false;
    if (file.storage->onDisk()) setModified(pathOf(file), file.modified);
}

void ObjectStore::forgetHandles(Node& node) {
    if (node.handle != 0) {
        auto it = handles_.find(node.handle);
        if (it != handles_.end() && it->second == &node) handles_.erase(it);
    }
    for (auto& child : node.children) forgetHandles(*child);
}

uint64_t ObjectStore::treeSize(Node& node) {
    if (!node.isFolder) return node.size;
    uint64_t total = 0;
    ensureLoaded(node);
    for (auto& child : node.children) total += treeSize(*child);
    return total;
}

bool ObjectStore::isInside(const Node& node, const Node& folder) const {
    for (const Node* n = &node; n; n = n->parent) {
        if (n == &folder) return true;
    }
    return false;
}

void ObjectStore::remove(Node& node, bool phoneSide) {
    uint64_t bytes = treeSize(node);
    if (node.storage->onDisk()) {
        std::error_code ec;
        fs::remove_all(pathOf(node), ec);
        if (ec) throw std::system_error(ec, "remove " + pathOf(node).string());
    }
    node.storage->used -= std::min(node.storage->used, bytes);
    if (phoneSide && node.handle != 0 && events_) events_(mtp::Event::ObjectRemoved, node.handle);
    forgetHandles(node);
    detach(node);
}

void ObjectStore::rename(Node& node, std::string name) {
    if (node.storage->onDisk()) {
        fs::path from = pathOf(node);
        fs::path to = from.parent_path() / name;
        if (::rename(from.c_str(), to.c_str()) != 0) throwErrno("rename " + from.string());
    }
    node.name = std::move(name);
}

Node* ObjectStore::copyTree(Node& source, Node& parent, const std::string& name) {
    auto node = std::make_unique<Node>();
    node->name = name;
    node->isFolder = source.isFolder;
    node->format = source.format;
    node->modified = source.modified;
    node->storage = parent.storage;
    node->parent = &parent;
    bool toDisk = parent.storage->onDisk();
    fs::path path = toDisk ? pathOf(*node) : fs::path();
    if (source.isFolder) {
        node->loaded = true;
        if (toDisk && ::mkdir(path.c_str(), 0755) != 0) throwErrno("mkdir " + path.string());
        Node* placed = adopt(parent, std::move(node), 0, false);
        for (Node* child : children(source)) copyTree(*child, *placed, child->name);
        if (toDisk) setModified(path, source.modified);
        return placed;
    }
    node->size = source.size;
    if (toDisk && source.storage->onDisk()) {
        std::error_code ec;
        fs::copy_file(pathOf(source), path, ec);
        if (ec) throw std::system_error(ec, "copy " + pathOf(source).string());
    } else {
        Bytes bytes(static_cast<size_t>(source.size));
        read(source, 0, bytes);
        if (toDisk) {
            auto out = openFile(path, O_WRONLY | O_CREAT | O_EXCL);
            pwriteAll(out->fd(), 0, bytes, path);
        } else {
            node->content = std::make_shared<Bytes>(std::move(bytes));
        }
    }
    if (toDisk) setModified(path, source.modified);
    parent.storage->used += source.size;
    return adopt(parent, std::move(node), 0, false);
}

void ObjectStore::transferHandles(Node& from, Node& to) {
    if (to.handle != 0) handles_.erase(to.handle);
    to.handle = from.handle;
    to.listed = from.listed;
    from.handle = 0;
    if (to.handle != 0) handles_[to.handle] = &to;
    for (size_t i = 0; i < std::min(from.children.size(), to.children.size()); ++i) {
        transferHandles(*from.children[i], *to.children[i]);
    }
}

void ObjectStore::move(Node& node, Node& newParent) {
    ensureLoaded(newParent);
    if (node.storage == newParent.storage) {
        if (node.storage->onDisk()) {
            fs::path from = pathOf(node);
            fs::path to = pathOf(newParent) / node.name;
            if (::rename(from.c_str(), to.c_str()) != 0) throwErrno("rename " + from.string());
        }
        std::unique_ptr<Node> owned = detach(node);
        owned->parent = &newParent;
        newParent.children.push_back(std::move(owned));
        return;
    }
    // Across storages Android copies, then deletes the original; the handles stay.
    Node* copied = copyTree(node, newParent, node.name);
    transferHandles(node, *copied);
    remove(node, false);
}

Node* ObjectStore::copy(Node& node, Node& newParent) {
    ensureLoaded(newParent);
    Node* copied = copyTree(node, newParent, node.name);
    if (copied->handle == 0) {
        copied->handle = nextHandle_++;
        handles_[copied->handle] = copied;
    }
    return copied;
}

mtp::Format formatForName(std::string_view name) {
    using mtp::Format;
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return Format::Undefined;
    std::string ext(name.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::map<std::string, Format, std::less<>> formats = {
        {"txt", Format::Text},
        {"html", Format::HTML},
        {"htm", Format::HTML},
        {"wav", Format::WAV},
        {"mp3", Format::MP3},
        {"avi", Format::AVI},
        {"mpg", Format::MPEG},
        {"mpeg", Format::MPEG},
        {"jpg", Format::EXIFJPEG},
        {"jpeg", Format::EXIFJPEG},
        {"bmp", Format::BMP},
        {"gif", Format::GIF},
        {"png", Format::PNG},
        {"tif", Format::TIFF},
        {"tiff", Format::TIFF},
        {"wma", Format::WMA},
        {"ogg", Format::OGG},
        {"aac", Format::AAC},
        {"flac", Format::FLAC},
        {"mp4", Format::MP4Container},
        {"m4a", Format::MP4Container},
        {"m4v", Format::MP4Container},
        {"3gp", Format::ThreeGPContainer},
        {"xml", Format::XMLDocument},
        {"pdf", Format::Undefined},
    };
    auto it = formats.find(ext);
    return it == formats.end() ? Format::Undefined : it->second;
}

}  // namespace phonesim
