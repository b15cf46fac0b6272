#pragma once
// What the panel shows for the app's state, as plain values: the summary line, each phone row's
// title, symbol, tint, status line and accessory, byte counts, the version line and the update
// status. No widgets here; the views only draw these.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/model/DeviceRow.h"
#include "app/update/BundleInfo.h"
#include "app/update/UpdateModel.h"

namespace brisvale {

// Colours by meaning. `plain` is the surrounding text's own colour.
enum class Tint { plain, orange, green, blue };

// A run of text in one colour; a styled line is a sequence of them.
struct StyledPart {
    std::string text;
    Tint tint = Tint::plain;
    bool operator==(const StyledPart&) const = default;
};
using StyledText = std::vector<StyledPart>;
std::string plainText(const StyledText& text);

// "Setup needed", "No devices", "1 device connected", "N devices connected".
std::string statusSummary(bool extensionEnabled, size_t deviceCount);

// The mount folder's name once there is one, else the USB product name.
std::string rowTitle(const DeviceRow& row);
// Symbol identifier: "cable.connector" for a charging-only phone, else "iphone".
std::string rowSymbol(const DeviceRow& row);
// orange while the phone needs the user (busy, failed, locked, charging only).
Tint rowTint(const DeviceRow& row);
// The row's status line; "Remounting…" while a read-write switch runs, whatever the phase.
StyledText statusLine(const DeviceRow& row);

enum class Accessory { spinner, none, mountSwitch };
Accessory rowAccessory(const DeviceRow& row);
// The mode switch and Show in Files bar: while mounted or remounting; disabled while remounting.
bool showsActionBar(const DeviceRow& row);

// Decimal, whole numbers, halves away from zero: "1 GB" from 10^9 on, "999 MB" below it.
std::string formatBytes(uint64_t bytes);
// A download's size for people: "Zero bytes", "512 bytes", "1.2 MB", "3.4 GB" (decimal units).
std::string formatFileSize(int64_t bytes);

// "Version 1.4 (27)", with "?" for a missing value.
std::string versionLine(const BundleInfo& bundle);
// The "Check for updates" row's value; nothing after a failure or before the first check.
std::optional<std::string> updateStatus(UpdatePhase phase,
                                        const std::optional<LatestRelease>& available);

}  // namespace brisvale
