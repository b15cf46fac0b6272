#include "fs/SpellingTable.h"

#include <algorithm>

namespace kestrum {

void SpellingTable::remember(uint64_t itemID, const Spelling& spelling) {
    ++nodes_[itemID].lookups;
    respell(itemID, spelling);
}

void SpellingTable::respell(uint64_t itemID, const Spelling& spelling) {
    const auto found = nodes_.find(itemID);
    if (found == nodes_.end()) return;
    std::vector<Spelling>& spellings = found->second.spellings;
    if (std::find(spellings.begin(), spellings.end(), spelling) != spellings.end()) return;
    if (spellings.size() >= maxSpellings) spellings.erase(spellings.begin());
    spellings.push_back(spelling);
}

bool SpellingTable::forget(uint64_t itemID, uint64_t n) {
    const auto found = nodes_.find(itemID);
    if (found == nodes_.end()) return false;
    if (found->second.lookups > n) {
        found->second.lookups -= n;
        return false;
    }
    nodes_.erase(found);
    return true;
}

std::vector<Spelling> SpellingTable::takeOthers(uint64_t itemID, const Spelling& except) {
    const auto found = nodes_.find(itemID);
    if (found == nodes_.end()) return {};
    std::vector<Spelling> others;
    for (Spelling& spelling : found->second.spellings)
        if (spelling != except) others.push_back(std::move(spelling));
    found->second.spellings.clear();
    return others;
}

}  // namespace kestrum
