#include "fs/DSStore.h"

#include <plist/plist.h>

#include <cstring>
#include <string_view>

namespace kestrum {

namespace {

constexpr size_t leafRecordOffset = 4108;

void put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    bytes[offset] = value >> 24;
    bytes[offset + 1] = value >> 16;
    bytes[offset + 2] = value >> 8;
    bytes[offset + 3] = value;
}

void putText(std::vector<uint8_t>& bytes, size_t offset, std::string_view text) {
    memcpy(bytes.data() + offset, text.data(), text.size());
}

}  // namespace

std::vector<uint8_t> windowSettingsPlist() {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "ContainerShowSidebar", plist_new_bool(1));
    plist_dict_set_item(dict, "PreviewPaneVisibility", plist_new_bool(0));
    plist_dict_set_item(dict, "ShowPathbar", plist_new_bool(0));
    plist_dict_set_item(dict, "ShowSidebar", plist_new_bool(1));
    plist_dict_set_item(dict, "ShowStatusBar", plist_new_bool(0));
    plist_dict_set_item(dict, "ShowTabView", plist_new_bool(0));
    plist_dict_set_item(dict, "ShowToolbar", plist_new_bool(1));
    plist_dict_set_item(dict, "SidebarWidth", plist_new_uint(196));
    plist_dict_set_item(dict, "WindowBounds", plist_new_string("{{200, 200}, {920, 540}}"));
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &data, &length);
    plist_free(dict);
    std::vector<uint8_t> result;
    if (data) result.assign(data, data + length);
    plist_to_bin_free(data);
    return result;
}

std::vector<uint8_t> makeDSStore() {
    std::vector<uint8_t> bytes(dsStoreSize, 0);
    std::vector<uint8_t> plist = windowSettingsPlist();
    // A property list that would not fit the leaf node is left out rather than overrun it.
    if (leafRecordOffset + 18 + plist.size() > dsStoreSize) plist.clear();

    // Header; block addresses count from offset 4.
    put32(bytes, 0, 1);
    putText(bytes, 4, "Bud1");
    put32(bytes, 8, 2048);
    put32(bytes, 12, 2048);
    put32(bytes, 16, 2048);
    const uint8_t fixed[16] = {0, 0, 0x10, 0x0C, 0, 0, 0, 0x87, 0, 0, 0x20, 0x0B, 0, 0, 0, 0};
    memcpy(bytes.data() + 20, fixed, sizeof fixed);

    // Block 1, the directory master: root node, levels, records, nodes, page size.
    put32(bytes, 36, 2);
    put32(bytes, 40, 0);
    put32(bytes, 44, 1);
    put32(bytes, 48, 1);
    put32(bytes, 52, 4096);

    // Block 0, the allocator: block count, then the address words (address | log2 size).
    put32(bytes, 2052, 3);
    put32(bytes, 2056, 0);
    put32(bytes, 2060, 0x0000080B);
    put32(bytes, 2064, 0x00000025);
    put32(bytes, 2068, 0x0000100C);
    put32(bytes, 3084, 1);
    bytes[3088] = 4;
    putText(bytes, 3089, "DSDB");
    put32(bytes, 3093, 1);  // the 32 free lists after it stay zero

    // Block 2, the leaf node with its single record.
    put32(bytes, 4100, 0);
    put32(bytes, 4104, 1);
    size_t record = leafRecordOffset;
    put32(bytes, record, 1);
    bytes[record + 4] = 0x00;
    bytes[record + 5] = 0x2E;
    putText(bytes, record + 6, "bwsp");
    putText(bytes, record + 10, "blob");
    put32(bytes, record + 14, static_cast<uint32_t>(plist.size()));
    if (!plist.empty()) memcpy(bytes.data() + record + 18, plist.data(), plist.size());
    return bytes;
}

}  // namespace kestrum
