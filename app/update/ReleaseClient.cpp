#include "app/update/ReleaseClient.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <cmath>
#include <memory>

#include <qcoro/qcoronetworkreply.h>

namespace brisvale {

namespace {

// JSON numbers arrive as doubles; only those that are exactly a 64-bit integer count.
std::optional<int64_t> exactInteger(const QJsonValue& value) {
    if (!value.isDouble()) return std::nullopt;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
        d >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<int64_t>(d);
}

bool addressAllowed(const QUrl& url) {
    if (url.scheme() == "https") return true;
    return url.scheme() == "http" && (url.host() == "127.0.0.1" || url.host() == "localhost");
}

}  // namespace

std::optional<LatestRelease> releaseFrom(const QJsonObject& object) {
    const QJsonValue version = object.value("version");
    const auto build = exactInteger(object.value("build"));
    const auto size = exactInteger(object.value("size"));
    const QJsonValue url = object.value("url");
    if (!version.isString() || !build || !size || !url.isString()) return std::nullopt;
    const QUrl parsed(url.toString(), QUrl::StrictMode);
    if (!parsed.isValid() || !addressAllowed(parsed)) return std::nullopt;
    return LatestRelease{version.toString().toStdString(), *build, *size, parsed};
}

QCoro::Task<std::optional<LatestRelease>> ReleaseClient::latest() const {
    QNetworkRequest request(base_.resolved(QUrl("api/latest")));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(15000);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
        session_->get(request), [](QNetworkReply* r) { r->deleteLater(); });
    co_await reply.get();

    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid() && reply->error() != QNetworkReply::NoError)
        throw std::runtime_error(reply->errorString().toStdString());
    const int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
    const QJsonObject object = document.isObject() ? document.object() : QJsonObject();

    if (status == 404 && object.contains("error")) co_return std::nullopt;
    if (status < 200 || status > 299)
        throw ReleaseClientError("latest: the site answered " + std::to_string(status));
    auto release = releaseFrom(object);
    if (!release) throw ReleaseClientError("latest: unexpected answer");
    co_return release;
}

}  // namespace brisvale
