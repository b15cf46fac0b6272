#pragma once
// Small things many tests need: recognisable bytes and a temporary folder.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

// Bytes that differ from their neighbours and from one 64 KiB stretch to the next, so a chunk
// read or written at the wrong offset shows. seed tells two files apart.
inline std::vector<uint8_t> pattern(size_t size, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + i / 65521 + seed);
    return bytes;
}

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "brisvale-test") {
        std::string name = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(name.data()) != nullptr) path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace testsupport
