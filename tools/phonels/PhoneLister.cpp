#include "tools/phonels/PhoneLister.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace phonels {

namespace {

bool lessByName(const mtp::MTPEntry& a, const mtp::MTPEntry& b) {
    return std::lexicographical_compare(
        a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
        [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

std::string formatDate(const std::optional<mtp::Timestamp>& when) {
    if (!when) return "";
    std::time_t t = std::chrono::system_clock::to_time_t(*when);
    std::tm parts{};
    localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &parts);
    return text;
}

// Characters on screen, near enough: UTF-8 code points.
size_t width(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(),
                                             [](unsigned char c) { return (c & 0xC0) != 0x80; }));
}

std::string sizeText(const mtp::MTPEntry& e, const ListOptions& options) {
    if (e.sizeUnknown) return "4 GB or more";
    return options.bytes ? std::to_string(e.size) : formatSize(e.size);
}

// Files of one folder line up: names padded, sizes right-aligned, then the date.
std::vector<std::string> entryLines(const std::vector<mtp::MTPEntry>& entries,
                                    const ListOptions& options) {
    size_t nameWidth = 0, sizeWidth = 0;
    for (const mtp::MTPEntry& e : entries) {
        if (e.isFolder) continue;
        nameWidth = std::max(nameWidth, width(e.name));
        sizeWidth = std::max(sizeWidth, sizeText(e, options).size());
    }
    std::vector<std::string> lines;
    for (const mtp::MTPEntry& e : entries) {
        if (e.isFolder) {
            lines.push_back(e.name + "/");
            continue;
        }
        std::string size = sizeText(e, options);
        std::string line = e.name + std::string(nameWidth - width(e.name) + 2, ' ') +
                           std::string(sizeWidth - size.size(), ' ') + size;
        std::string date = formatDate(e.modified);
        if (!date.empty()) line += "  " + date;
        lines.push_back(std::move(line));
    }
    return lines;
}

void listTree(mtp::MTPSession& session, std::ostream& out, const ListOptions& options,
              uint32_t storage, uint32_t parent, const std::string& indent, int depth) {
    std::vector<mtp::MTPEntry> entries = listFolder(session, storage, parent, options.usePropList);
    std::vector<std::string> lines = entryLines(entries, options);
    for (size_t i = 0; i < entries.size(); ++i) {
        bool last = i + 1 == entries.size();
        out << indent << (last ? "└── " : "├── ") << lines[i] << '\n';
        if (entries[i].isFolder && (options.maxDepth < 0 || depth < options.maxDepth)) {
            listTree(session, out, options, storage, entries[i].handle,
                     indent + (last ? "    " : "│   "), depth + 1);
        }
    }
}

}  // namespace

std::vector<mtp::MTPEntry> listFolder(mtp::MTPSession& session, uint32_t storage, uint32_t parent,
                                      bool usePropList) {
    std::vector<mtp::MTPEntry> entries;
    bool byPropList =
        usePropList && parent != mtp::RootParent && session.supports(mtp::Op::GetObjectPropList);
    if (byPropList) {
        try {
            entries = session.listByPropList(parent);
        } catch (const mtp::MTPError&) {
            byPropList = false;  // some phones refuse it for some folders; ask object by object
        }
    }
    if (!byPropList) entries = session.list(storage, parent);
    std::stable_sort(entries.begin(), entries.end(), lessByName);
    return entries;
}

void listPhone(mtp::MTPSession& session, std::ostream& out, const ListOptions& options) {
    std::vector<mtp::MTPStorage> storages = session.storages();
    if (storages.empty()) {
        out << "No storage visible: the phone may be locked; unlock it and try again.\n";
        return;
    }
    for (size_t i = 0; i < storages.size(); ++i) {
        const mtp::MTPStorage& s = storages[i];
        if (i > 0) out << '\n';
        std::string name = s.name.empty() ? "Storage" : s.name;
        out << name << "  " << formatSize(s.capacity) << ", " << formatSize(s.free) << " free\n";
        if (options.maxDepth != 0) listTree(session, out, options, s.id, mtp::RootParent, "", 1);
    }
}

std::string formatSize(uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 999.95 && unit < 5) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace phonels
