#include "app/update/UpdateModel.h"

#include <QDesktopServices>
#include <algorithm>
#include <cctype>
#include <charconv>

#include "app/services/AppLog.h"

#define UPDATE_LOG(level, ...) \
    ::kestrum::Log::log(::kestrum::LogLevel::level, ::brisvale::updateCategory, __VA_ARGS__)

namespace brisvale {

bool isNewer(const std::optional<std::string>& runningBuild, int64_t build) {
    if (!runningBuild || runningBuild->empty()) return false;
    std::string_view digits = *runningBuild;
    if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    // from_chars takes a leading "-" but not a "+".
    const std::string_view number = runningBuild->front() == '+' ? digits : *runningBuild;
    int64_t running = 0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), running);
    return error == std::errc() && end == number.data() + number.size() && running < build;
}

UpdateModel::UpdateModel(BundleInfo bundle, QUrl base, std::optional<LatestRelease> initial,
                         QObject* parent)
    : QObject(parent),
      available_(std::move(initial)),
      runningVersion_(std::move(bundle.shortVersion)),
      runningBuild_(std::move(bundle.build)),
      client_(std::move(base), &session_),
      openUrl_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {}

void UpdateModel::start() {
    check();
    timer_ = new QTimer(this);  // dies with the model, so a late firing never reaches it
    timer_->setInterval(std::chrono::hours(24));
    connect(timer_, &QTimer::timeout, this, [this] { check(); });
    timer_->start();
}

QCoro::Task<void> UpdateModel::check() {
    if (phase_ == UpdatePhase::checking) co_return;
    phase_ = UpdatePhase::checking;
    emit changed();
    QPointer<UpdateModel> self(this);
    std::optional<LatestRelease> release;
    std::string failure;
    try {
        release = co_await client_.latest();
    } catch (const std::exception& error) {
        failure = error.what();
        if (failure.empty()) failure = "unknown error";
    }
    if (!self) co_return;
    if (!failure.empty()) {
        UPDATE_LOG(info, "update check: %s", failure.c_str());
        finish(UpdatePhase::failed, available_);
    } else if (release && isNewer(runningBuild_, release->build)) {
        UPDATE_LOG(info, "update available: %s (%ld)", release->version.c_str(),
                   static_cast<long>(release->build));
        finish(UpdatePhase::idle, std::move(release));
    } else {
        finish(UpdatePhase::upToDate, std::nullopt);
    }
}

void UpdateModel::finish(UpdatePhase phase, std::optional<LatestRelease> available) {
    phase_ = phase;
    available_ = std::move(available);
    emit changed();
}

void UpdateModel::download() {
    if (available_) openUrl_(available_->url);
}

}  // namespace brisvale
