#pragma once
// Whether a newer release than the running build is published: checked at start and once a
// day, and when the user asks. Never downloads anything; download() opens the release's address.

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>

#include <qcoro/qcorotask.h>

#include "app/update/BundleInfo.h"
#include "app/update/ReleaseClient.h"

namespace brisvale {

enum class UpdatePhase { idle, checking, upToDate, failed };

// True exactly when `runningBuild` is a base-10 64-bit integer ("+"/"-" allowed, nothing else)
// below `build`. Versions are never compared.
[[nodiscard]] bool isNewer(const std::optional<std::string>& runningBuild, int64_t build);

// Main thread only. Emits changed() after every change of available() or phase().
class UpdateModel : public QObject {
    Q_OBJECT
  public:
    // `base`: the site's root (siteAddress() in the app). `openUrl` opens an address with the
    // desktop's default handler (QDesktopServices by default).
    explicit UpdateModel(BundleInfo bundle, QUrl base,
                         std::optional<LatestRelease> initial = std::nullopt,
                         QObject* parent = nullptr);

    // One check now, then one every 24 hours. Call once.
    void start();
    // One check; does nothing while another runs. Never throws: a failure becomes phase failed
    // and keeps the release found earlier.
    QCoro::Task<void> check();
    // Opens the available release's address; nothing when none is known.
    void download();

    const std::optional<LatestRelease>& available() const { return available_; }
    UpdatePhase phase() const { return phase_; }
    const std::optional<std::string>& runningVersion() const { return runningVersion_; }
    const std::optional<std::string>& runningBuild() const { return runningBuild_; }

    void setUrlOpener(std::function<void(const QUrl&)> open) { openUrl_ = std::move(open); }

  signals:
    void changed();

  private:
    void finish(UpdatePhase phase, std::optional<LatestRelease> available);

    std::optional<LatestRelease> available_;
    UpdatePhase phase_ = UpdatePhase::idle;
    std::optional<std::string> runningVersion_;
    std::optional<std::string> runningBuild_;
    QNetworkAccessManager session_;
    ReleaseClient client_;
    QPointer<QTimer> timer_;
    std::function<void(const QUrl&)> openUrl_;
};

}  // namespace brisvale
