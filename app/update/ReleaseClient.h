#pragma once
// The release endpoint of the product site: GET <site>/api/latest answers the latest published
// release as a JSON object {"version", "build", "size", "url"}.

#include <QJsonObject>
#include <QUrl>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

namespace brisvale {

struct LatestRelease {
    std::string version;  // display text, never compared
    int64_t build = 0;    // compared with the running build
    int64_t size = 0;     // bytes of the download
    QUrl url;             // https, or http to this computer only
    bool operator==(const LatestRelease&) const = default;
};

// The site answered something other than a release.
class ReleaseClientError : public std::runtime_error {
  public:
    explicit ReleaseClientError(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

// A release from the answer's object, or nothing when a key is missing or of the wrong type, a
// number is not an exact 64-bit integer, or the address is neither https nor http to
// 127.0.0.1 / localhost.
[[nodiscard]] std::optional<LatestRelease> releaseFrom(const QJsonObject& object);

// Main thread. Shares the caller's network access manager, which outlives the client.
class ReleaseClient {
  public:
    ReleaseClient(QUrl base, QNetworkAccessManager* session)
        : base_(std::move(base)), session_(session) {}

    // One uncached GET with a 15 s limit. Returns the release, or nothing when the site answers
    // 404 with an "error" key (nothing published yet). Throws ReleaseClientError for any other
    // status ("latest: the site answered N") or an unusable 2xx answer ("latest: unexpected
    // answer"), and std::runtime_error with the network's text when no answer came.
    QCoro::Task<std::optional<LatestRelease>> latest() const;

    const QUrl& base() const { return base_; }

  private:
    QUrl base_;
    QNetworkAccessManager* session_;
};

}  // namespace brisvale
