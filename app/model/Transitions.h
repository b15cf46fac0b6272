#pragma once
// The model's decisions: pure functions from a phone's status and one input to its next status
// and the action the model then performs. No effects, no time, no threads.

#include <string>
#include <string_view>

#include "app/model/DeviceRow.h"
#include "app/services/Preflight.h"

namespace brisvale {

struct Transition {
    DeviceStatus status;
    PolicyAction action = PolicyAction::none;
    bool operator==(const Transition&) const = default;
};

// The user's mount switch: on asks for a mount, off for an eject.
[[nodiscard]] Transition mountRequest(const DeviceStatus& status, bool on);

// The user's read-write switch with the wanted value. Only a mounted phone switches, and only to
// read-write when it can take changes.
[[nodiscard]] Transition writableRequest(const DeviceStatus& status, bool wanted);

// A probe came back. Only a phone waiting for one (preparing, busy, locked) takes it.
[[nodiscard]] Transition probeResult(const DeviceStatus& status, const PreflightResult& result);

// The status of a phone that just arrived.
[[nodiscard]] DeviceStatus arrivalStatus(const mtp::DeviceKind& kind, bool autoMount);

// The one line shown to the user for a failed mount, from the error's description: without
// "mount: ", its first non-empty line, the two known failures said plainly, at most 68
// characters ("…" after 67).
[[nodiscard]] std::string failureMessage(std::string_view description);

}  // namespace brisvale
