#pragma once
// Prints what a phone holds: its storages with capacity and free space, and the tree of their
// folders with sizes and dates. Works on any open MTPSession, simulated or real.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "mtp/MTPSession.h"

namespace phonels {

struct ListOptions {
    int maxDepth = -1;        // folder levels shown below each storage; negative: all
    bool usePropList = true;  // GetObjectPropList where the phone supports it
    bool bytes = false;       // exact byte counts instead of rounded sizes
};

// One folder's entries, sorted by name. Below the top level, on phones that support it, one
// GetObjectPropList per property; if that fails with an MTPError, GetObjectInfo per object.
// Throws what MTPSession throws otherwise.
std::vector<mtp::MTPEntry> listFolder(mtp::MTPSession& session, uint32_t storage, uint32_t parent,
                                      bool usePropList = true);

// Writes every storage and its tree to out. The session must be open. Throws what
// MTPSession throws; what was written before the failure stays written.
void listPhone(mtp::MTPSession& session, std::ostream& out, const ListOptions& options = {});

// "2.4 MB", "512 bytes", "64.0 GB": decimal units, as phones and file managers show them.
std::string formatSize(uint64_t bytes);

}  // namespace phonels
