#pragma once
// The names under which the kernel may hold a dentry of each item, and how many entry replies
// it received for the item (its lookup count, which forget gives back). The volume's names are
// case-insensitive, so the kernel can cache one file under several spellings ("a.txt",
// "A.TXT") like hard links; after a delete or rename through one of them the host has the
// kernel drop the others.
//
// Not thread-safe: the host touches it on the volume's queue only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrum {

// A name under which the kernel may hold a dentry of an item: (directory item, name).
using Spelling = std::pair<uint64_t, std::string>;

class SpellingTable {
  public:
    // Most spellings kept per item; the oldest goes first (it has expired or soon will).
    static constexpr size_t maxSpellings = 8;

    // The kernel received one more entry reply for the item, under this spelling.
    void remember(uint64_t itemID, const Spelling& spelling);
    // The kernel moved its entry of the item to this spelling (rename); nothing for an item the
    // kernel does not know.
    void respell(uint64_t itemID, const Spelling& spelling);
    // The kernel dropped n lookups of the item. Returns true when it holds none any more (the
    // item is then forgotten here and may be reclaimed).
    [[nodiscard]] bool forget(uint64_t itemID, uint64_t n);
    // The spellings the kernel may still hold for the item other than `except` (the one the
    // kernel updates itself); all of them are forgotten here.
    [[nodiscard]] std::vector<Spelling> takeOthers(uint64_t itemID, const Spelling& except);

  private:
    struct Node {
        uint64_t lookups = 0;
        std::vector<Spelling> spellings;
    };
    std::unordered_map<uint64_t, Node> nodes_;
};

}  // namespace kestrum
