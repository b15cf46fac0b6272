// The update check against a release site on loopback.

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/update/UpdateModel.h"
#include "fs/Log.h"
#include "tests/app/AppTestSupport.h"

namespace {

using namespace brisvale;
using ::testing::Contains;
using ::testing::HasSubstr;

// Answers every request with `status` and `body`, or keeps it waiting while `hold` is set.
class ReleaseSite : public QTcpServer {
  public:
    ReleaseSite() {
        EXPECT_TRUE(listen(QHostAddress::LocalHost));
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                request += socket->readAll();
                if (!request.contains("\r\n\r\n")) return;
                ++requests;
                firstLine = request.left(request.indexOf("\r\n"));
                request.clear();
                if (hold)
                    held = socket;
                else
                    answer(socket);
            });
        });
    }
    void answer(QTcpSocket* socket) {
        socket->write(QString("HTTP/1.1 %1 X\r\nContent-Type: application/json\r\n"
                              "Content-Length: %2\r\nConnection: close\r\n\r\n")
                          .arg(status)
                          .arg(body.size())
                          .toUtf8() +
                      body);
        socket->disconnectFromHost();
    }
    QUrl base() const { return QUrl(QString("http://127.0.0.1:%1").arg(serverPort())); }

    int status = 200;
    QByteArray body;
    bool hold = false;
    QPointer<QTcpSocket> held;
    int requests = 0;
    QByteArray request, firstLine;
};

QByteArray release(const char* build, const char* url = "https://x.example/b.deb") {
    return QString(R"({"version":"1.5","build":%1,"size":48300000,"url":"%2","notes":1})")
        .arg(build, url)
        .toUtf8();
}

struct LogLines {
    LogLines() {
        kestrum::Log::setSink(
            [this](kestrum::LogLevel, std::string_view text) { lines.emplace_back(text); });
    }
    ~LogLines() { kestrum::Log::setSink({}); }
    std::vector<std::string> lines;
};

TEST(UpdateCheck, AnswersOfTheSiteFailuresAndOverlaps) {
    using enum UpdatePhase;
    const std::string bad = "update check: latest: unexpected answer";
    // The running build, the site's answer, the phase after the check and the line logged.
    const std::tuple<const char*, int, QByteArray, UpdatePhase, const char*> cases[] = {
        {"27", 200, release("27"), upToDate, ""},
        {"27", 200, release("28"), idle, "update available: 1.5 (28)"},
        {"27a", 200, release("28"), upToDate, ""},  // running build not a number
        {"", 200, release("28"), upToDate, ""},
        {"27", 404, R"({"error":"none yet"})", upToDate, ""},  // nothing published
        {"27", 404, "", failed, "update check: latest: the site answered 404"},
        {"27", 200, release("\"28\""), failed, bad.c_str()},
        {"27", 200, release("28.5"), failed, bad.c_str()},
        {"27", 200, release("28", "http://x.example/b.deb"), failed, bad.c_str()},
        {"27", 200, release("28", "http://127.0.0.1/b.deb"), idle, "update available: 1.5 (28)"},
    };
    for (const auto& [build, status, body, phase, line] : cases) {
        SCOPED_TRACE(body.toStdString() + " to build " + build);
        ReleaseSite site;
        site.status = status;
        site.body = body;
        LogLines log;
        UpdateModel model({"1.4", build, {}}, site.base());
        apptest::await(model.check());
        EXPECT_EQ(site.firstLine, "GET /api/latest HTTP/1.1");
        EXPECT_EQ(model.phase(), phase);
        EXPECT_EQ(model.available().has_value(), phase == idle);
        if (*line)
            EXPECT_THAT(log.lines, Contains(line));
        else
            EXPECT_TRUE(log.lines.empty()) << log.lines.front();
    }

    // A failure keeps the release already found, and checks never overlap.
    ReleaseSite site;
    site.body = release("28");
    UpdateModel model({"1.4", "27", {}}, site.base());
    apptest::await(model.check());
    ASSERT_TRUE(model.available());

    site.hold = true;
    site.status = 503;
    auto first = model.check();
    ASSERT_TRUE(apptest::spinUntil([&] { return site.held != nullptr; }));
    apptest::await(model.check());  // returns at once: one is running
    EXPECT_EQ(model.phase(), UpdatePhase::checking);
    site.answer(site.held);
    ASSERT_TRUE(apptest::spinUntil([&] { return model.phase() != UpdatePhase::checking; }));
    EXPECT_EQ(site.requests, 2);
    EXPECT_EQ(model.phase(), UpdatePhase::failed);
    EXPECT_EQ(model.available(),
              (LatestRelease{"1.5", 28, 48300000, QUrl("https://x.example/b.deb")}));

    LogLines log;
    UpdateModel offline({"1.4", "27", {}}, QUrl("http://127.0.0.1:1/"));  // the network's error
    apptest::await(offline.check());
    EXPECT_EQ(offline.phase(), UpdatePhase::failed);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_THAT(log.lines[0], HasSubstr("update check: "));
}

}  // namespace
