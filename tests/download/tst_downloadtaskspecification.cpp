#include "config/configuration.h"
#include "download/downloadtaskspecification.h"
#include "download/manifestdownloadtaskspecification.h"
#include "download/mirrors.h"
#include "support/downloadfixture.h"
#include "support/faulthttpserver.h"
#include "support/files.h"
#include "support/tasklog.h"
#include "support/testpaths.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

Q_DECLARE_METATYPE(FaultRule)

namespace {

using Rig = MirrorRig;

// Ticks ticksPerPiece times after each arrival of data, so that the idle rule never fires and only
// the transfer rate decides; returns the ticks spent once the task has ended or maxTicks passed.
int tickPerPiece(DownloadTaskSpecification& task, int ticksPerPiece, int maxTicks) {
    int ticks = 0;
    while (task.state() == TaskSpecification::Running && ticks < maxTicks) {
        if (!QTest::qWaitFor(
                [&] { return task.idleTicks == 0 || task.state() != TaskSpecification::Running; },
                5000))
            break;
        if (task.state() == TaskSpecification::Running)
            tick(task, ticksPerPiece);
        ticks += ticksPerPiece;
    }
    return ticks;
}

QString closedPortUrl() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("http://127.0.0.1:%1/x/7").arg(probe.serverPort());
}

} // namespace

class TstDownloadTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    // An endless body that slips past its bound fails its writes instead of filling the disk.
    void initTestCase() { QVERIFY(capFileSize(32 * 1024 * 1024)); }

    // Each row: mirror A answers with a fault on its first request, mirror B (joining the pool
    // once A has been asked, so A is always tried first) serves the file.
    void failureTable_data() {
        QTest::addColumn<FaultRule>("rule");
        QTest::addColumn<qint64>("expectedSize");
        QTest::addColumn<bool>("removed");
        QTest::addColumn<QString>("text");

        const QByteArray bUrl = "http://127.0.0.1:1/mB/7/data.bin";
        FaultRule r;
        r.status = 404;
        QTest::newRow("404") << r << qint64(-1) << true << "%A returned 404";
        r.status = 500;
        QTest::newRow("500") << r << qint64(-1) << true << "%A returned 500";
        for (int status : {301, 302, 307}) {
            r = FaultRule();
            r.status = status;
            r.body = QByteArray("moved");
            r.headers = {{"Location", bUrl}};
            QTest::newRow(qPrintable(QStringLiteral("redirect-%1").arg(status)))
                << r << qint64(-1) << true << QStringLiteral("%A returned %1").arg(status);
        }
        r = FaultRule();
        r.status = 401;
        r.body = QByteArray("who are you");
        r.headers = {{"WWW-Authenticate", "Basic realm=\"mirror\""}};
        QTest::newRow("auth-demand") << r << qint64(-1) << true << "%A returned 401";

        r = FaultRule();
        r.closeAfter = 20000;
        r.times = 1;
        QTest::newRow("closed-early") << r << qint64(-1) << false << "";
        r = FaultRule();
        r.extraBytes = 10;
        r.sendContentLength = false;
        r.times = 1;
        QTest::newRow("longer-than-expected")
            << r << qint64(60000) << false << "%A sent more than the expected 60000 bytes";
        r = FaultRule();
        r.endless = true;
        r.sendContentLength = false;
        r.times = 1;
        QTest::newRow("endless-body")
            << r << qint64(60000) << false << "%A sent more than the expected 60000 bytes";
        r = FaultRule();
        r.announcedLength = 10000000;
        r.endless = true;
        r.times = 1;
        QTest::newRow("endless-with-big-length")
            << r << qint64(60000) << false << "%A sent more than the expected 60000 bytes";
        // A listed size of 0 is a bound like any other (the file served is empty then).
        r = FaultRule();
        r.endless = true;
        r.sendContentLength = false;
        r.times = 1;
        QTest::newRow("endless-for-size-0")
            << r << qint64(0) << false << "%A sent more than the expected 0 bytes";
        r = FaultRule();
        r.body = QByteArray(1, 'x');
        r.times = 1;
        QTest::newRow("one-byte-for-size-0")
            << r << qint64(0) << false << "%A sent more than the expected 0 bytes";
    }
    void failureTable() {
        QFETCH(FaultRule, rule);
        QFETCH(qint64, expectedSize);
        QFETCH(bool, removed);
        QFETCH(QString, text);

        Rig rig;
        const QByteArray data = expectedSize == 0 ? QByteArray() : noise(60000);
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("data.bin")), data));
        QVERIFY(writeFile(rig.remote(QStringLiteral("mB"), QStringLiteral("data.bin")), data));
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("data.bin")), rule);
        rig.addMirror(QStringLiteral("mA"));
        bool bAdded = false;
        connect(&rig.server, &FaultHttpServer::requestReceived, this, [&] {
            if (!bAdded)
                rig.addMirror(QStringLiteral("mB"));
            bAdded = true;
        });

        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("data.bin"),
                                       rig.local(QStringLiteral("data.bin")), expectedSize, nullptr,
                                       1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy errors(&task, &TaskSpecification::error);
        // The window opens a modal box when a run ends on such a retry; the dropped transfer must
        // end even while that box runs its own event loop, or its body piles up in memory.
        bool hungUpBehindABox = true;
        connect(&task, &TaskSpecification::message, this, [&](const QString& line) {
            if (!line.contains(QStringLiteral("sent more than")))
                return;
            QEventLoop box;
            QTimer poll;
            connect(&poll, &QTimer::timeout, &box, [&] {
                if (rig.server.openResponses() == 0)
                    box.quit();
            });
            poll.start(20);
            QTimer::singleShot(3000, &box, [&] {
                hungUpBehindABox = false;
                box.quit();
            });
            box.exec();
        });
        task.execute();
        QTRY_VERIFY_WITH_TIMEOUT(task.state() != TaskSpecification::Running, 10000);

        QVERIFY(hungUpBehindABox);
        QCOMPARE(task.state(), TaskSpecification::Finished);
        QCOMPARE(readAll(rig.local(QStringLiteral("data.bin"))), data);
        QCOMPARE(errors.count(), 0);
        const int aRequests =
            rig.server.requestCount(Rig::path(QStringLiteral("mA"), QStringLiteral("data.bin")));
        if (removed) {
            QCOMPARE(aRequests, 1);
            QVERIFY(!rig.mirror(QStringLiteral("mA")));
            QCOMPARE(task.mirror.name, QStringLiteral("mB"));
            // A redirect is not followed: B was asked once, by the retry.
            QCOMPARE(rig.server.requestCount(
                         Rig::path(QStringLiteral("mB"), QStringLiteral("data.bin"))),
                     1);
        } else {
            QVERIFY(aRequests >= 1);
            QVERIFY(rig.mirror(QStringLiteral("mA")));
            QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, 1);
        }
        for (const FTPSiteAccessData& m : std::as_const(rig.pool.mirrors))
            QCOMPARE(m.useCount, 0);
        const QStringList log = texts(messages);
        QCOMPARE(log.first(), QStringLiteral("Downloading data.bin"));
        QCOMPARE(log.last(), QStringLiteral("Downloading data.bin finished"));
        QCOMPARE(log.size(), 3);
        if (!text.isEmpty()) {
            text.replace(QStringLiteral("%A"),
                         rig.server.baseUrl() + QStringLiteral("/mA/7/data.bin"));
            QCOMPARE(log.at(1), text);
        }
        // The client hung up on the endless bodies.
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.openResponses(), 0, 5000);
    }

    // Answers framed in every way HTTP/1.1 allows, and broken framings: a good one delivers the
    // file at once; a broken one costs the mirror one error, and the next request gets the file.
    void answerFraming_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("text"); // the failure line; empty: delivered at once

        const QByteArray data = noise(3000);
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        QTest::newRow("chunked") << ok + "Transfer-Encoding: chunked\r\n\r\n" + "10;x=y\r\n" +
                                        data.left(16) + "\r\nBA8\r\n" + data.mid(16) +
                                        "\r\n0\r\nTrailer: t\r\n\r\n"
                                 << "";
        QTest::newRow("interim-answer-first")
            << "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 3000\r\n\r\n" + data << "";
        QTest::newRow("until-close") << "HTTP/1.0 200 OK\r\n\r\n" + data << "";
        QTest::newRow("folded-repeats") << ok +
                                               "Content-Length: 3000\r\nContent-Length: 3000\r\n"
                                               "X-A: 1\r\nX-A: 2\r\n\r\n" +
                                               data
                                        << "";
        // Lines longer than a read's first part, and one that just fits it.
        QTest::newRow("long-header-lines")
            << ok + "X-Long: " + QByteArray(2000, 'l') + "\r\nX-Edge: " + QByteArray(245, 'e') +
                   "\r\nContent-Length: 3000\r\n\r\n" + data
            << "";
        QTest::newRow("bad-status-line")
            << "HTTP/1.1 two hundred\r\n\r\n" + data << "Invalid HTTP status line from %A";
        QTest::newRow("not-http") << "SSH-2.0-OpenSSH\r\n\r\n" + data
                                  << "Invalid HTTP status line from %A";
        QTest::newRow("header-line-without-colon")
            << ok + "Content-Length 3000\r\n\r\n" + data << "Invalid HTTP header from %A";
        QTest::newRow("endless-header") << ok + "X-Pad: " + QByteArray(70000, 'p') + "\r\n\r\n"
                                        << "Header too long from %A";
        QTest::newRow("header-block-too-long")
            << ok + QByteArray("X-Pad: 0123456789\r\n").repeated(4000) + "\r\n"
            << "Header too long from %A";
        QTest::newRow("conflicting-lengths")
            << ok + "Content-Length: 3000\r\nContent-Length: 30\r\n\r\n" + data
            << "Invalid Content-Length from %A";
        QTest::newRow("negative-length")
            << ok + "Content-Length: -1\r\n\r\n" + data << "Invalid Content-Length from %A";
        QTest::newRow("bad-chunk-size") << ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + data
                                        << "Invalid chunk size from %A";
        QTest::newRow("chunk-overruns-its-size")
            << ok + "Transfer-Encoding: chunked\r\n\r\n10\r\n" + QByteArray(20, 'a') +
                   "\r\n0\r\n\r\n"
            << "Invalid chunk end from %A";
        QTest::newRow("closed-inside-body")
            << ok + "Content-Length: 3000\r\n\r\n" + data.left(100) << "%C";
    }
    void answerFraming() {
        QFETCH(QByteArray, raw);
        QFETCH(QString, text);
        Rig rig;
        const QByteArray data = noise(3000);
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("f.bin")), data));
        FaultRule rule;
        rule.raw = raw;
        rule.times = 1;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("f.bin")), rule);
        rig.addMirror(QStringLiteral("mA"));
        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("f.bin"),
                                       rig.local(QStringLiteral("f.bin")), 3000, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QTRY_VERIFY_WITH_TIMEOUT(task.state() != TaskSpecification::Running, 10000);
        QCOMPARE(task.state(), TaskSpecification::Finished);
        QCOMPARE(readAll(rig.local(QStringLiteral("f.bin"))), data);
        const QStringList log = texts(messages);
        const int requests =
            rig.server.requestCount(Rig::path(QStringLiteral("mA"), QStringLiteral("f.bin")));
        if (text.isEmpty()) {
            QCOMPARE(requests, 1);
            QCOMPARE(log.size(), 2);
            return;
        }
        QCOMPARE(requests, 2);
        QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, 1);
        QCOMPARE(log.size(), 3);
        const QString url = rig.server.baseUrl() + QStringLiteral("/mA/7/f.bin");
        if (text == QLatin1String("%C"))
            QVERIFY2(log.at(1).contains(QStringLiteral("closed")), qPrintable(log.at(1)));
        else
            QCOMPARE(log.at(1), QString(text).replace(QStringLiteral("%A"), url));
    }

    // The manager's reply gives every reader the whole body, whatever its pace: at once in
    // readyRead(), a piece per signal, all of it at the end (more than a socket holds), or
    // through a small read buffer drained later (from a kept-alive connection: a server's close
    // with the rest of the body still unread is taken as cut short).
    void readerPace_data() {
        QTest::addColumn<QByteArray>("framing");
        QTest::addColumn<QString>("pace");
        const QByteArray body = noise(600000);
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QMap<QString, QByteArray> framings{
            {"length", ok + "Content-Length: 600000\r\n\r\n" + body},
            {"chunked", ok + "Transfer-Encoding: chunked\r\n\r\n30000\r\n" + body.left(0x30000) +
                            "\r\n" + QByteArray::number(600000 - 0x30000, 16) + "\r\n" +
                            body.mid(0x30000) + "\r\n0\r\n\r\n"},
            {"until-close", "HTTP/1.0 200 OK\r\n\r\n" + body}};
        for (auto it = framings.begin(); it != framings.end(); ++it)
            for (const char* pace : {"at-once", "pieces", "at-end"})
                QTest::newRow(qPrintable(it.key() + '/' + pace)) << it.value() << pace;
        QTest::newRow("kept-alive/bounded") << QByteArray() << "bounded";
    }
    void readerPace() {
        QFETCH(QByteArray, framing);
        QFETCH(QString, pace);
        Rig rig;
        FaultRule rule;
        if (framing.isEmpty()) {
            rig.server.setKeepAlive(true);
            rule.body = noise(600000);
        } else {
            rule.raw = framing;
        }
        rig.server.setRule("/f.bin", rule);
        QNetworkReply* reply =
            rig.manager.get(QNetworkRequest(QUrl(rig.server.baseUrl() + "/f.bin")));
        QByteArray got;
        QTimer drain;
        if (pace == "at-once")
            connect(reply, &QNetworkReply::readyRead, [&] { got += reply->readAll(); });
        if (pace == "pieces")
            connect(reply, &QNetworkReply::readyRead, [&] { got += reply->read(1000); });
        if (pace == "bounded") {
            reply->setReadBufferSize(4096);
            connect(&drain, &QTimer::timeout, [&] {
                QCOMPARE_LE(reply->bytesAvailable(), 70000); // a header block and the buffer
                got += reply->readAll();
            });
            drain.start(5);
        }
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
        drain.stop();
        got += reply->readAll();
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(got.size(), 600000);
        QVERIFY(got == noise(600000));
        delete reply;
    }

    // A kept connection that the server closed while it was idle is not the mirror's fault: the
    // request goes out again on a new connection.
    void closedIdleConnectionIsReplaced_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("closed, seen when reading") << false;
        QTest::newRow("reset, seen when sending") << true;
    }
    void closedIdleConnectionIsReplaced() {
        QFETCH(bool, reset);
        Rig rig;
        rig.server.setKeepAlive(true);
        const QByteArray data = noise(2000);
        for (const QString& name : {QStringLiteral("a.bin"), QStringLiteral("b.bin")})
            QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), name), data));
        rig.addMirror(QStringLiteral("mA"));
        for (const QString& name : {QStringLiteral("a.bin"), QStringLiteral("b.bin")}) {
            DownloadTaskSpecification task(&rig.manager, &rig.pool, name, rig.local(name), 2000,
                                           nullptr, 1.0);
            // The close is sent before the next request, but the client learns of it only as it
            // reads that request's answer.
            rig.server.closeConnections(reset);
            task.execute();
            QTRY_VERIFY_WITH_TIMEOUT(task.state() != TaskSpecification::Running, 10000);
            QCOMPARE(task.state(), TaskSpecification::Finished);
            QCOMPARE(readAll(rig.local(name)), data);
        }
        QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, 0);
        QCOMPARE(rig.server.connectionCount(), 2);
    }

    // When every kept connection was reset, the resend opens a new one rather than trying the
    // next kept one, which would fail the same way and count against the mirror.
    void resendOpensNewConnection() {
        Rig rig;
        rig.server.setKeepAlive(true);
        const QByteArray data = noise(2000);
        const QStringList names{QStringLiteral("a.bin"), QStringLiteral("b.bin"),
                                QStringLiteral("c.bin")};
        for (const QString& name : names)
            QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), name), data));
        rig.addMirror(QStringLiteral("mA"));
        rig.pool.mirrors.last().maxUses = 2;
        std::vector<std::unique_ptr<DownloadTaskSpecification>> tasks;
        for (const QString& name : names)
            tasks.push_back(std::make_unique<DownloadTaskSpecification>(
                &rig.manager, &rig.pool, name, rig.local(name), 2000, nullptr, 1.0));
        // Two at once leave two kept connections.
        tasks[0]->execute();
        tasks[1]->execute();
        QTRY_VERIFY_WITH_TIMEOUT(tasks[0]->state() == TaskSpecification::Finished &&
                                     tasks[1]->state() == TaskSpecification::Finished,
                                 10000);
        QCOMPARE(rig.server.connectionCount(), 2);
        rig.server.closeConnections(true);
        tasks[2]->execute();
        QTRY_VERIFY_WITH_TIMEOUT(tasks[2]->state() != TaskSpecification::Running, 10000);
        QCOMPARE(tasks[2]->state(), TaskSpecification::Finished);
        QCOMPARE(readAll(rig.local(names[2])), data);
        QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, 0);
        QCOMPARE(rig.server.connectionCount(), 3);
    }

    void progress_data() {
        QTest::addColumn<bool>("contentLength");
        QTest::addColumn<qint64>("expectedSize");
        QTest::newRow("learned-from-length") << true << qint64(-1);
        QTest::newRow("given") << false << qint64(300000);
        QTest::newRow("unknown") << false << qint64(-1);
    }
    void progress() {
        QFETCH(bool, contentLength);
        QFETCH(qint64, expectedSize);
        Rig rig;
        const QByteArray data = noise(300000);
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("p.bin")), data));
        // Slow enough for Qt's progress reports, which come at most every 100 ms.
        FaultRule rule;
        rule.sendContentLength = contentLength;
        rule.dripBytes = 15000;
        rule.dripIntervalMs = 25;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("p.bin")), rule);
        rig.addMirror(QStringLiteral("mA"));

        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("p.bin"),
                                       rig.local(QStringLiteral("p.bin")), expectedSize, nullptr,
                                       0.5);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.execute();
        QTRY_VERIFY_WITH_TIMEOUT(task.receivedBytes >= 240000, 5000);
        const TickReport report = tick(task);
        QVERIFY(report.downloading);
        QCOMPARE(report.done, quint64(task.receivedBytes));
        QCOMPARE(report.speed, report.done);
        const bool known = contentLength || expectedSize > 0;
        QCOMPARE(report.total, known ? quint64(300000) : quint64(0));

        QTRY_COMPARE_WITH_TIMEOUT(task.state(), TaskSpecification::Finished, 5000);
        QCOMPARE(readAll(rig.local(QStringLiteral("p.bin"))), data);
        QCOMPARE(progress.last().at(0).toDouble(), 0.5);
        double previous = 0;
        int between = 0;
        for (int i = 0; i + 1 < progress.size(); ++i) {
            const double value = progress.at(i).at(0).toDouble();
            QVERIFY(value >= previous && value <= 0.5);
            between += value > 0 && value < 0.5;
            previous = value;
        }
        // Without any size the bar stays at 0 until the end.
        QCOMPARE(between > 0, known);
    }

    // Data keeps the stall count at zero; 16 silent ticks restart with a fresh, empty file.
    void stallRestartsAfterSixteenTicks() {
        Rig rig;
        const QByteArray data = noise(400000);
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("s.bin")), data));
        FaultRule rule;
        rule.stallAfter = 200000;
        rule.times = 1;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("s.bin")), rule);
        rig.addMirror(QStringLiteral("mA"));
        const QString local = rig.local(QStringLiteral("s.bin"));

        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("s.bin"), local, -1,
                                       nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(task.receivedBytes, qint64(200000), 5000);
        QVERIFY(QFileInfo(local).size() > 0);

        QVERIFY(tick(task, 15).downloading);
        QCOMPARE(task.state(), TaskSpecification::Running);
        QCOMPARE(rig.server.totalRequests(), 1);
        QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, 0);

        QVERIFY(!tick(task).downloading);
        QCOMPARE(texts(messages).last(), QStringLiteral("file s.bin timed out on mirror mA"));
        QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, 1);
        // The new attempt truncated the partial file at once.
        QVERIFY(QFileInfo::exists(local));
        QCOMPARE(QFileInfo(local).size(), 0);
        QCOMPARE(task.receivedBytes, 0);

        QTRY_COMPARE_WITH_TIMEOUT(task.state(), TaskSpecification::Finished, 5000);
        QCOMPARE(rig.server.totalRequests(), 2);
        QCOMPARE(readAll(local), data);
    }

    // The server drips pieces; the test ticks ten times per piece, so the idle count never
    // reaches its limit and only the average rate over 30 ticks can stall the transfer.
    void transferRate_data() {
        QTest::addColumn<int>("pieceBytes");
        QTest::addColumn<bool>("secondMirror");
        QTest::addColumn<int>("slowVerdicts");
        QTest::addColumn<TaskSpecification::State>("endState");
        // 2000 bytes a tick: slow, but above the 1024 minimum, so never penalised.
        QTest::newRow("steady-above-rate") << 20000 << false << 0 << TaskSpecification::Finished;
        // 30 bytes a tick: each attempt ends after 30 ticks, the third one removes the mirror.
        QTest::newRow("slow-alone") << 300 << false << 3 << TaskSpecification::ErrorCanceled;
        QTest::newRow("slow-then-good-mirror") << 300 << true << 1 << TaskSpecification::Finished;
    }
    void transferRate() {
        QFETCH(int, pieceBytes);
        QFETCH(bool, secondMirror);
        QFETCH(int, slowVerdicts);
        QFETCH(TaskSpecification::State, endState);
        Rig rig;
        const QByteArray data = noise(300000);
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("d.bin")), data));
        QVERIFY(writeFile(rig.remote(QStringLiteral("mB"), QStringLiteral("d.bin")), data));
        FaultRule rule;
        rule.dripBytes = pieceBytes;
        rule.dripIntervalMs = 10;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("d.bin")), rule);
        rig.addMirror(QStringLiteral("mA"));
        bool bAdded = !secondMirror;
        connect(&rig.server, &FaultHttpServer::requestReceived, this, [&] {
            if (!bAdded)
                rig.addMirror(QStringLiteral("mB"));
            bAdded = true;
        });
        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("d.bin"),
                                       rig.local(QStringLiteral("d.bin")), 300000, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        const int ticks = tickPerPiece(task, 10, 400);
        QTRY_COMPARE_WITH_TIMEOUT(task.state(), endState, 5000);

        const QString slow = QStringLiteral(
            "file d.bin too slow on mirror mA: less than 1024 bytes per second over 30 seconds");
        // With a second mirror the retry may pick the slow one again, at most until it is gone.
        const int verdicts = int(texts(messages).count(slow));
        if (secondMirror)
            QVERIFY(verdicts >= slowVerdicts && verdicts <= 3);
        else
            QCOMPARE(verdicts, slowVerdicts);
        const QString aPath = Rig::path(QStringLiteral("mA"), QStringLiteral("d.bin"));
        QCOMPARE(rig.server.requestCount(aPath), std::max(1, verdicts));
        // Each verdict comes at the end of its 30-tick window, after a few pieces only.
        if (!secondMirror && verdicts > 0)
            QVERIFY2(ticks <= verdicts * 30 + 10, qPrintable(QString::number(ticks)));
        QVERIFY(rig.server.bytesSent(aPath) < std::max(1, verdicts) * 30 * 1024 || verdicts == 0);
        if (endState == TaskSpecification::Finished)
            QCOMPARE(readAll(rig.local(QStringLiteral("d.bin"))), data);
        if (secondMirror)
            QCOMPARE(task.mirror.name, QStringLiteral("mB"));
        if (verdicts < 3)
            QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, verdicts);
        else
            QVERIFY(!rig.mirror(QStringLiteral("mA")));
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.openResponses(), 0, 5000);
    }

    // The manifest step under a trickle that its transfer time-out never sees: each request gets
    // a fixed number of ticks, and the third slow one removes the only mirror. A slow signature
    // starts the pair over, so that both files still come from one mirror.
    void manifestTrickle_data() {
        QTest::addColumn<QString>("trickled"); // the file's suffix after the manifest's name
        QTest::addColumn<int>("ticks");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("verdicts");
        QTest::addColumn<TaskSpecification::State>("endState");
        const int limit = ManifestDownloadTaskSpecification::requestTickLimit;
        QTest::newRow("within-limit") << "" << limit << 1 << 0 << TaskSpecification::Running;
        QTest::newRow("past-limit") << "" << limit + 1 << 2 << 1 << TaskSpecification::Running;
        QTest::newRow("mirror-gone")
            << "" << 3 * (limit + 1) << 3 << 3 << TaskSpecification::ErrorCanceled;
        QTest::newRow("signature-within-limit")
            << ".sig" << limit << 1 << 0 << TaskSpecification::Running;
        QTest::newRow("signature-past-limit")
            << ".sig" << limit + 1 << 2 << 1 << TaskSpecification::Running;
        QTest::newRow("signature-mirror-gone")
            << ".sig" << 3 * (limit + 1) << 3 << 3 << TaskSpecification::ErrorCanceled;
    }
    void manifestTrickle() {
        QFETCH(QString, trickled);
        QFETCH(int, ticks);
        QFETCH(int, requests);
        QFETCH(int, verdicts);
        QFETCH(TaskSpecification::State, endState);
        Rig rig;
        const QString manifestName = QStringLiteral("client_x.manifest");
        const QString name = manifestName + trickled;
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), manifestName), noise(5000)));
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), manifestName + ".sig"), noise(300)));
        FaultRule rule;
        rule.dripBytes = 1;
        rule.dripIntervalMs = 50;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), name), rule);
        rig.addMirror(QStringLiteral("mA"));
        // Silence is not what this is about: the ticks come faster than the trickle.
        rig.pool.mirrors[0].timeout = 10 * ManifestDownloadTaskSpecification::requestTickLimit;
        Configuration config;
        config.updateType = QStringLiteral("client_x");
        config.tempDir = rig.localDir.path();
        bool hadManifest = false;
        ManifestDownloadTaskSpecification task(&rig.manager, &rig.pool, &config, false,
                                               &hadManifest, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        const int limit = ManifestDownloadTaskSpecification::requestTickLimit;
        const QString path = Rig::path(QStringLiteral("mA"), name);
        for (int i = 0; i < ticks; ++i) {
            // Each request's ticks start once the mirror has it and is trickling.
            if (i % (limit + 1) == 0)
                QTRY_COMPARE_WITH_TIMEOUT(rig.server.requestCount(path), i / (limit + 1) + 1, 5000);
            tick(task);
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.requestCount(path), requests, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(task.state(), endState, 5000);
        const QString slow =
            QStringLiteral("file %1 too slow on mirror mA: not received within %2 seconds")
                .arg(name)
                .arg(ManifestDownloadTaskSpecification::requestTickLimit);
        QCOMPARE(int(texts(messages).count(slow)), verdicts);
        // Each attempt starts with the manifest; the step reports itself, not each fetch.
        QCOMPARE(rig.server.requestCount(Rig::path(QStringLiteral("mA"), manifestName)), requests);
        QCOMPARE(texts(messages).filter(QStringLiteral("Downloading")), QStringList());
        QCOMPARE(rig.pool.mirrors.isEmpty() ? 0 : rig.pool.mirrors[0].useCount,
                 endState == TaskSpecification::Running ? 1 : 0);
    }

    // The manifest step short of its signature check. A missing manifest passes, or is refused
    // once one has been seen, at no cost to the mirror; a missing signature is refused; any other
    // failure costs the mirror one error and the pair is fetched again, from one mirror.
    void manifestOutcome_data() {
        QTest::addColumn<int>("manifestStatus"); // the first answer; 0: the file
        QTest::addColumn<int>("sigStatus");
        QTest::addColumn<bool>("required");
        QTest::addColumn<int>("mirrorCount");
        QTest::addColumn<QString>("text"); // a line of the log or an error
        QTest::addColumn<int>("errorCount");
        QTest::addColumn<TaskSpecification::State>("endState");
        const QString refused = QStringLiteral(" The release is refused; nothing was changed.");
        const QString badSig =
            "The release manifest of version 7 has an invalid signature." + refused;
        QTest::newRow("no-manifest")
            << 404 << 0 << false << 1
            << "Warning: version 7 has no release manifest; it is not bound to its version and "
               "update type"
            << 0 << TaskSpecification::Finished;
        QTest::newRow("no-manifest-after-one")
            << 404 << 0 << true << 1
            << "Version 7 has no release manifest, but this installation was updated from a "
               "release with one." +
                   refused
            << 0 << TaskSpecification::ErrorCanceled;
        QTest::newRow("no-signature")
            << 0 << 404 << false << 1 << badSig << 0 << TaskSpecification::ErrorCanceled;
        QTest::newRow("manifest-500") << 500 << 0 << false << 1 << "%A.manifest returned 500" << 1
                                      << TaskSpecification::ErrorCanceled;
        QTest::newRow("signature-500") << 0 << 500 << false << 1 << "%A.manifest.sig returned 500"
                                       << 1 << TaskSpecification::ErrorCanceled;
        QTest::newRow("pair-from-one-mirror")
            << 0 << 0 << false << 2 << badSig << 0 << TaskSpecification::ErrorCanceled;
    }
    void manifestOutcome() {
        QFETCH(int, manifestStatus);
        QFETCH(int, sigStatus);
        QFETCH(bool, required);
        QFETCH(int, mirrorCount);
        QFETCH(QString, text);
        QFETCH(int, errorCount);
        QFETCH(TaskSpecification::State, endState);
        Rig rig;
        const QString name = QStringLiteral("client_x.manifest");
        const QStringList names{QStringLiteral("mA"), QStringLiteral("mB")};
        for (const QString& m : names.first(mirrorCount)) {
            QVERIFY(writeFile(rig.remote(m, name), noise(500)));
            QVERIFY(writeFile(rig.remote(m, name + ".sig"), noise(100)));
            rig.addMirror(m);
        }
        for (const auto& [file, status] :
             {std::pair{name, manifestStatus}, {name + ".sig", sigStatus}}) {
            FaultRule rule;
            rule.status = status;
            rule.times = 1;
            if (status != 0)
                rig.server.setRule(Rig::path(QStringLiteral("mA"), file), rule);
        }
        Configuration config;
        config.updateType = QStringLiteral("client_x");
        config.clientVersion = 7;
        config.tempDir = rig.localDir.path();
        // A killed run's files: never to be taken for this run's checked manifest.
        const QString local = rig.localDir.filePath(name);
        QVERIFY(writeFile(local, "stale") && writeFile(local + ".sig", "stale"));
        bool hadManifest = true;
        ManifestDownloadTaskSpecification task(&rig.manager, &rig.pool, &config, required,
                                               &hadManifest, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy errors(&task, &TaskSpecification::error);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(task.state(), endState, 5000);

        text.replace(QStringLiteral("%A"), rig.server.baseUrl() + QStringLiteral("/mA/7/client_x"));
        QVERIFY2((texts(messages) + texts(errors)).contains(text),
                 qPrintable((texts(messages) + texts(errors)).join('\n')));
        QVERIFY(rig.mirror(QStringLiteral("mA")));
        QCOMPARE(rig.mirror(QStringLiteral("mA"))->errorCount, errorCount);
        QCOMPARE(hadManifest, endState != TaskSpecification::Finished);
        // The list building takes a manifest in the temporary directory as checked.
        QVERIFY(!QFileInfo::exists(local));
        QVERIFY(!QFileInfo::exists(local + ".sig"));
        for (const QString& m : names.first(mirrorCount)) {
            QCOMPARE(rig.mirror(m)->useCount, 0);
            if (mirrorCount > 1)
                QCOMPARE(rig.server.requestCount(Rig::path(m, name + ".sig")),
                         rig.server.requestCount(Rig::path(m, name)));
        }
    }

    // A download waiting for the only mirror starts as soon as its slot is free again, whatever
    // freed it; a removal that empties the pool ends the wait with an error.
    void slotHandOver_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<TaskSpecification::State>("endState");
        QTest::newRow("released") << "release" << TaskSpecification::Finished;
        QTest::newRow("holder-deleted") << "delete" << TaskSpecification::Finished;
        QTest::newRow("manifest-holder-deleted")
            << "delete-manifest" << TaskSpecification::Finished;
        QTest::newRow("mirror-removed") << "remove" << TaskSpecification::ErrorCanceled;
    }
    void slotHandOver() {
        QFETCH(QString, how);
        QFETCH(TaskSpecification::State, endState);
        Rig rig;
        QVERIFY(
            writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("1.bin")), noise(300000)));
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("2.bin")), noise(5000)));
        FaultRule stall;
        stall.stallAfter = 1000;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("1.bin")), stall);
        rig.addMirror(QStringLiteral("mA"));

        // The slot is taken by hand, or by a download or the manifest step stalled in
        // mid-transfer whose reply will never finish.
        FTPSiteAccessData taken;
        std::unique_ptr<TaskSpecification> holder;
        Configuration config;
        config.updateType = QStringLiteral("client_x");
        bool hadManifest = false;
        if (how == QLatin1String("release")) {
            QCOMPARE(rig.pool.getRandomMirror(taken), 0);
        } else if (how == QLatin1String("delete-manifest")) {
            const QString name = QStringLiteral("client_x.manifest");
            QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), name), noise(5000)));
            stall.stallAfter = 10;
            rig.server.setRule(Rig::path(QStringLiteral("mA"), name), stall);
            config.tempDir = rig.localDir.path();
            holder = std::make_unique<ManifestDownloadTaskSpecification>(
                &rig.manager, &rig.pool, &config, false, &hadManifest, nullptr, 1.0);
            holder->execute();
            QTRY_COMPARE_WITH_TIMEOUT(
                rig.server.requestCount(Rig::path(QStringLiteral("mA"), name)), 1, 5000);
        } else {
            auto* download =
                new DownloadTaskSpecification(&rig.manager, &rig.pool, QStringLiteral("1.bin"),
                                              rig.local(QStringLiteral("1.bin")), -1, nullptr, 1.0);
            holder.reset(download);
            download->execute();
            QTRY_COMPARE_WITH_TIMEOUT(download->receivedBytes, qint64(1000), 5000);
        }
        DownloadTaskSpecification waiter(&rig.manager, &rig.pool, QStringLiteral("2.bin"),
                                         rig.local(QStringLiteral("2.bin")), 5000, nullptr, 1.0);
        waiter.execute();
        QTest::qWait(50);
        QVERIFY(!waiter.reply);
        QCOMPARE(rig.server.requestCount(Rig::path(QStringLiteral("mA"), QStringLiteral("2.bin"))),
                 0);

        if (how == QLatin1String("release"))
            rig.pool.releaseMirror(QStringLiteral("mA"));
        else if (how.startsWith(QLatin1String("delete")))
            holder.reset();
        else
            rig.pool.removeMirror(QStringLiteral("mA"));
        QTRY_COMPARE_WITH_TIMEOUT(waiter.state(), endState, 5000);
        const bool finished = endState == TaskSpecification::Finished;
        QCOMPARE(rig.server.requestCount(Rig::path(QStringLiteral("mA"), QStringLiteral("2.bin"))),
                 finished ? 1 : 0);
        if (finished)
            QCOMPARE(rig.pool.mirrors[0].useCount, 0);
    }

    // The second download waits for the only mirror and then uses it.
    void twoDownloadsTakeTurns() {
        Rig rig;
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("1.bin")), noise(3000)));
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("2.bin")), noise(5000)));
        FaultRule rule;
        rule.dripBytes = 1000;
        rule.dripIntervalMs = 20;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("1.bin")), rule);
        rig.addMirror(QStringLiteral("mA"));

        DownloadTaskSpecification first(&rig.manager, &rig.pool, QStringLiteral("1.bin"),
                                        rig.local(QStringLiteral("1.bin")), 3000, nullptr, 1.0);
        DownloadTaskSpecification second(&rig.manager, &rig.pool, QStringLiteral("2.bin"),
                                         rig.local(QStringLiteral("2.bin")), 5000, nullptr, 1.0);
        QStringList order;
        connect(&first, &TaskSpecification::finished, this, [&] { order << "first finished"; });
        connect(&rig.server, &FaultHttpServer::requestReceived, this,
                [&](const QString& path) { order << path; });
        first.execute();
        second.execute();
        QCOMPARE(second.state(), TaskSpecification::Running);
        QVERIFY(!second.reply);
        QVERIFY(!tick(second, 20).downloading);
        QCOMPARE(second.state(), TaskSpecification::Running);

        QTRY_COMPARE_WITH_TIMEOUT(second.state(), TaskSpecification::Finished, 5000);
        QCOMPARE(first.state(), TaskSpecification::Finished);
        QCOMPARE(order, (QStringList{"/mA/7/1.bin", "first finished", "/mA/7/2.bin"}));
        QCOMPARE(second.mirror.name, QStringLiteral("mA"));
        QCOMPARE(rig.pool.mirrors[0].useCount, 0);
    }

    // Network errors count; every mirror goes at its third, then the download gives up.
    void exhaustedPool() {
        Rig rig;
        for (const char* name : {"x", "y", "z"})
            rig.addMirror(QLatin1String(name), closedPortUrl());
        QSignalSpy poolMessages(&rig.pool, &Mirrors::message);
        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("f"),
                                       rig.local(QStringLiteral("f")), -1, nullptr, 1.0);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 10000);
        QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
        QVERIFY(rig.pool.mirrors.isEmpty());
        const QStringList log = texts(poolMessages);
        QCOMPARE(log.count(QStringLiteral("There are no (more) known working mirrors available")),
                 1);
        QCOMPARE(log.last(), QStringLiteral("There are no (more) known working mirrors available"));
        QCOMPARE(log.filter(QStringLiteral("failed too many times, removing")).size(), 3);
        QVERIFY(!QFileInfo::exists(rig.local(QStringLiteral("f"))));

        // A later download ends at once, without a second report.
        DownloadTaskSpecification later(&rig.manager, &rig.pool, QStringLiteral("g"),
                                        rig.local(QStringLiteral("g")), -1, nullptr, 1.0);
        later.execute();
        QCOMPARE(later.state(), TaskSpecification::ErrorCanceled);
        QCOMPARE(poolMessages.count(), log.size());
    }

    void localFileCannotBeCreated() {
        Rig rig;
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("f")), "x"));
        rig.addMirror(QStringLiteral("mA"));
        // A plain file where the directory should be: holds for root too.
        QFile blocker(rig.local(QStringLiteral("dir")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString local = rig.local(QStringLiteral("dir/f"));
        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("f"), local, -1,
                                       nullptr, 1.0);
        QSignalSpy errors(&task, &TaskSpecification::error);
        task.execute();
        QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
        QCOMPARE(texts(errors),
                 QStringList{QStringLiteral("Unable to create file %1 for saving").arg(local)});
        QCOMPARE(rig.pool.mirrors[0].useCount, 0);
        QCOMPARE(rig.pool.mirrors[0].errorCount, 0);
        QTest::qWait(50);
        QCOMPARE(rig.server.totalRequests(), 0);
    }

    // A file-size limit makes the writes fail (the text is the system's); each failure costs
    // the mirror an error. A file smaller than the write buffer fails only when it is flushed
    // at the end, which must not count as a complete download.
    void writeErrorsCountAgainstTheMirror_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("limit");
        QTest::newRow("during-transfer") << 200000 << "50000";
        QTest::newRow("at-final-flush") << 10000 << "8192";
    }
    void writeErrorsCountAgainstTheMirror() {
        QFETCH(int, size);
        QFETCH(QString, limit);
        Rig rig;
        QVERIFY(writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("f.bin")), noise(size)));
        const QString local = rig.local(QStringLiteral("f.bin"));
        QProcess child;
        child.start(binPath(QStringLiteral("fetchlimited")),
                    {rig.server.baseUrl() + QStringLiteral("/mA/7"), QStringLiteral("f.bin"), local,
                     limit});
        QVERIFY(child.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(child.state(), QProcess::NotRunning, 10000);
        QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split('\n');
        lines.removeAll(QString());
        QCOMPARE(child.exitCode(), int(TaskSpecification::ErrorCanceled));
        QCOMPARE(rig.server.totalRequests(), 3);
        QCOMPARE(lines.takeFirst(), QStringLiteral("Downloading f.bin"));
        QCOMPARE(lines.takeLast(),
                 QStringLiteral("There are no (more) known working mirrors available"));
        QCOMPARE(lines.removeAll(QStringLiteral("Mirror only failed too many times, removing")), 1);
        // What is left: one write error per attempt, and no "finished".
        QCOMPARE(lines.size(), 3);
        QVERIFY(!lines.contains(QStringLiteral("Downloading f.bin finished")));
        // The partial file of each attempt was deleted.
        QVERIFY(!QFileInfo::exists(local));
    }

    void cancellation_data() {
        QTest::addColumn<bool>("byUser");
        QTest::newRow("user") << true;
        QTest::newRow("other-task") << false;
    }
    void cancellation() {
        QFETCH(bool, byUser);
        Rig rig;
        QVERIFY(
            writeFile(rig.remote(QStringLiteral("mA"), QStringLiteral("c.bin")), noise(300000)));
        FaultRule rule;
        rule.stallAfter = 100000;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("c.bin")), rule);
        rig.addMirror(QStringLiteral("mA"));
        const QString local = rig.local(QStringLiteral("c.bin"));
        DownloadTaskSpecification task(&rig.manager, &rig.pool, QStringLiteral("c.bin"), local, -1,
                                       nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(task.receivedBytes, qint64(100000), 5000);
        if (byUser)
            task.userCanceled();
        else
            task.handleOtherTaskCancelled(nullptr);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task.state(),
                 (byUser ? TaskSpecification::UserCanceled : TaskSpecification::ErrorCanceled));
        if (!byUser)
            QCOMPARE(texts(messages).last(), QStringLiteral("Abort downloading c.bin"));
        QVERIFY(!task.reply);
        QVERIFY(!QFileInfo::exists(local));
        QCOMPARE(rig.pool.mirrors[0].useCount, 0);
        QCOMPARE(rig.pool.mirrors[0].errorCount, 0);
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.openResponses(), 0, 5000);
    }
};

QTEST_GUILESS_MAIN(TstDownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
