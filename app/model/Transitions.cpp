#include "app/model/Transitions.h"

#include <QString>

#include "app/services/DiskTool.h"

namespace brisvale {

Transition mountRequest(const DeviceStatus& status, bool on) {
    DeviceStatus next = status;
    const DevicePhase& phase = status.phase;
    if (on) {
        if (is<phase::Busy>(phase) || is<phase::Failed>(phase) || is<phase::NotMounted>(phase) ||
            is<phase::Locked>(phase)) {
            next.phase = phase::Preparing{};
            next.userEjected = false;
            next.writable = false;
            next.switchRefused = false;
            return {next, PolicyAction::preflight};
        }
        return {next, PolicyAction::none};
    }
    if (is<phase::Mounted>(phase)) {
        next.phase = phase::Unmounting{};
        return {next, PolicyAction::unmount};
    }
    if (is<phase::Busy>(phase) || is<phase::Failed>(phase) || is<phase::Preparing>(phase) ||
        is<phase::Locked>(phase)) {
        next.phase = phase::NotMounted{};
        next.userEjected = true;
        next.writable = false;
        next.remounting = false;
    }
    return {next, PolicyAction::none};
}

Transition writableRequest(const DeviceStatus& status, bool wanted) {
    if (!is<phase::Mounted>(status.phase) || wanted == status.writable ||
        (wanted && !status.canWrite)) {
        return {status, PolicyAction::none};
    }
    DeviceStatus next = status;
    next.phase = phase::Unmounting{};
    next.writable = wanted;
    next.remounting = true;
    next.switchRefused = false;
    return {next, PolicyAction::remount};
}

Transition probeResult(const DeviceStatus& status, const PreflightResult& result) {
    const DevicePhase& phase = status.phase;
    if (!is<phase::Busy>(phase) && !is<phase::Preparing>(phase) && !is<phase::Locked>(phase)) {
        return {status, PolicyAction::none};
    }
    DeviceStatus next = status;
    if (const auto* ready = std::get_if<preflight::Ready>(&result)) {
        next.phase = phase::Mounting{};
        next.free = ready->free;
        next.capacity = ready->capacity;
        next.canWrite = ready->canWrite;
        next.writable = ready->canWrite && status.writable;
        return {next, PolicyAction::mount};
    }
    if (const auto* busy = std::get_if<preflight::Busy>(&result)) {
        next.phase = phase::Busy{busy->owner};
    } else if (const auto* failed = std::get_if<preflight::Failed>(&result)) {
        next.phase = phase::Failed{failed->message};
    } else {
        next.phase = phase::Locked{};
    }
    next.writable = false;
    next.remounting = false;
    return {next, PolicyAction::none};
}

DeviceStatus arrivalStatus(const mtp::DeviceKind& kind, bool autoMount) {
    DeviceStatus status;
    if (kind.tag() == mtp::DeviceKind::Tag::androidChargingOnly) {
        status.phase = phase::ChargingOnly{};
    } else if (autoMount) {
        status.phase = phase::Preparing{};
    } else {
        status.phase = phase::NotMounted{};
    }
    return status;
}

std::string failureMessage(std::string_view description) {
    QString text =
        QString::fromUtf8(description.data(), static_cast<qsizetype>(description.size()));
    text.remove(QStringLiteral("mount: "));
    QString line;
    for (const QString& candidate : text.split(u'\n')) {
        if (!candidate.trimmed().isEmpty()) {
            line = candidate;
            break;
        }
    }
    if (line.contains(QStringLiteral("Input/output error"))) {
        line = QStringLiteral("the phone stopped responding. Reconnect it and try again");
    } else if (DiskTool::isExtensionStartFailure(line.toStdString())) {
        line = QStringLiteral("Brisvale's file system didn't start. Try again");
    }
    // Characters as the user sees them: a QString counts UTF-16 units, so count code points.
    const QList<uint> points = line.toUcs4();
    if (points.size() < 71) return line.toStdString();
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(points.constData()), 67)
               .toStdString() +
           "…";
}

}  // namespace brisvale
