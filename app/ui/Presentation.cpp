#include "app/ui/Presentation.h"

#include <cmath>
#include <cstdio>

namespace brisvale {

namespace {

template <class... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};
// Clang before 17 deduces aggregates only with a guide.
template <class... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

}  // namespace

std::string plainText(const StyledText& text) {
    std::string out;
    for (const auto& part : text) out += part.text;
    return out;
}

std::string statusSummary(bool extensionEnabled, size_t deviceCount) {
    if (!extensionEnabled) return "Setup needed";
    if (deviceCount == 0) return "No devices";
    if (deviceCount == 1) return "1 device connected";
    return std::to_string(deviceCount) + " devices connected";
}

std::string rowTitle(const DeviceRow& row) {
    return row.folder ? *row.folder : row.record.name;
}

std::string rowSymbol(const DeviceRow& row) {
    return is<phase::ChargingOnly>(row.status.phase) ? "cable.connector" : "iphone";
}

Tint rowTint(const DeviceRow& row) {
    const auto& p = row.status.phase;
    return is<phase::Busy>(p) || is<phase::Failed>(p) || is<phase::Locked>(p) ||
                   is<phase::ChargingOnly>(p)
               ? Tint::orange
               : Tint::plain;
}

StyledText statusLine(const DeviceRow& row) {
    const DeviceStatus& s = row.status;
    if (s.remounting) return {{"Remounting…"}};
    return std::visit(
        Overloaded{
            [](const phase::Busy& b) -> StyledText {
                return {{"In use by " + b.owner, Tint::orange}, {": quit it to mount"}};
            },
            [&](const phase::Mounted&) -> StyledText {
                if (s.switchRefused)
                    return {{"Couldn't switch", Tint::orange},
                            {": close files on the phone first"}};
                if (!s.free || !s.capacity) return {{"● Mounted", Tint::green}};
                return {{"● Mounted", Tint::green},
                        {" · " + formatBytes(*s.free) + " free of " + formatBytes(*s.capacity)}};
            },
            [](const phase::Failed& f) -> StyledText {
                return {{"Couldn't mount", Tint::orange}, {": " + f.message}};
            },
            [](const phase::NotMounted&) -> StyledText { return {{"Not mounted"}}; },
            [](const phase::Preparing&) -> StyledText { return {{"Mounting…"}}; },
            [](const phase::Locked&) -> StyledText {
                return {{"Unlock the phone", Tint::orange},
                        {", then choose “File transfer” or tap “Allow”"}};
            },
            [](const phase::Mounting&) -> StyledText { return {{"Mounting…"}}; },
            [](const phase::Unmounting&) -> StyledText { return {{"Unmounting…"}}; },
            [](const phase::ChargingOnly&) -> StyledText {
                return {{"Charging only", Tint::orange}, {": pick “File transfer” on the phone"}};
            },
        },
        s.phase);
}

Accessory rowAccessory(const DeviceRow& row) {
    const auto& p = row.status.phase;
    if (is<phase::Preparing>(p) || is<phase::Mounting>(p) || is<phase::Unmounting>(p))
        return Accessory::spinner;
    if (is<phase::ChargingOnly>(p)) return Accessory::none;
    return Accessory::mountSwitch;
}

bool showsActionBar(const DeviceRow& row) {
    return is<phase::Mounted>(row.status.phase) || row.status.remounting;
}

std::string formatBytes(uint64_t bytes) {
    const double g = static_cast<double>(bytes) / 1e9;
    if (g >= 1.0) return std::to_string(std::llround(g)) + " GB";
    return std::to_string(std::llround(static_cast<double>(bytes) / 1e6)) + " MB";
}

std::string formatFileSize(int64_t bytes) {
    if (bytes == 0) return "Zero bytes";
    if (bytes == 1 || bytes == -1) return std::to_string(bytes) + " byte";
    if (bytes < 1000 && bytes > -1000) return std::to_string(bytes) + " bytes";
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    while (std::fabs(value) >= 999.95 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    // Kilobytes as whole numbers, larger units with one decimal, as file managers show them.
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string versionLine(const BundleInfo& bundle) {
    return "Version " + bundle.shortVersion.value_or("?") + " (" + bundle.build.value_or("?") + ")";
}

std::optional<std::string> updateStatus(UpdatePhase phase,
                                        const std::optional<LatestRelease>& available) {
    if (phase == UpdatePhase::checking) return "Checking…";
    if (available) return available->version + " available";
    if (phase == UpdatePhase::upToDate) return "Up to date";
    return std::nullopt;
}

}  // namespace brisvale
