// Latency: 2,000 small files from the fault-injecting test server, which waits before every
// answer as a distant server would (keep-alive on, its own thread). Fetched with
// DownloadFileListTaskSpecification (downloadConcurrency = streams, one mirror with that many
// slots, MD5 checks included) and with curl --parallel --parallel-max streams. Prints wall times,
// the ratio updater / curl and the TCP connections each opened.
//
//   bench_latency [--files N] [--delay MS] [--streams S] [--rounds R]
#include "config/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/mirroraccessmanager.h"
#include "download/mirrors.h"
#include "support/downloadfixture.h"
#include "support/faulthttpserver.h"
#include "support/median.h"
#include "support/releasemaker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>

#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace {

QTextStream out(stdout);

// The server on a thread of its own, so that neither side's event loop slows the other.
class ServerThread : public QThread {
public:
    ServerThread(const QString& root, int delayMs)
        : root(root)
        , delayMs(delayMs) {}
    ~ServerThread() override {
        quit();
        wait();
    }
    QString baseUrl() {
        start();
        while (port == 0)
            QThread::msleep(5);
        return QStringLiteral("http://127.0.0.1:%1").arg(port.load());
    }
    // After the thread ended.
    int connections() {
        quit();
        wait();
        return accepted;
    }

protected:
    void run() override {
        FaultHttpServer server(root);
        server.setKeepAlive(true);
        server.setDelay(delayMs);
        server.listen();
        port = server.port();
        exec();
        accepted = server.connectionCount();
    }

private:
    QString root;
    int delayMs;
    std::atomic<quint16> port{0};
    std::atomic<int> accepted{0};
};

double fetchWithUpdater(const QString& baseUrl, QList<FileDownloadSpecification> list,
                        const QString& dir, int streams) {
    Mirrors pool;
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("m");
    mirror.url = baseUrl + QStringLiteral("/7");
    mirror.maxUses = streams;
    pool.mirrors.append(mirror);
    Configuration config;
    config.tempDir = dir;
    config.downloadConcurrency = streams;
    MirrorAccessManager manager;
    DownloadFileListTaskSpecification task(&list, &manager, &pool, &config, nullptr, 1.0);
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&task] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
    });
    poll.start(1000);
    QElapsedTimer clock;
    clock.start();
    task.execute();
    loop.exec();
    return task.state() == TaskSpecification::Finished ? clock.nsecsElapsed() / 1e9 : -1;
}

double fetchWithCurl(const QString& baseUrl, const QList<FileDownloadSpecification>& list,
                     const QString& dir, int streams) {
    QFile config(dir + QStringLiteral(".curl"));
    config.open(QIODevice::WriteOnly);
    for (const FileDownloadSpecification& entry : list)
        config.write(QStringLiteral("url = \"%1/7/%2/%3\"\noutput = \"%4/%3\"\n")
                         .arg(baseUrl, entry.section, entry.fileName, dir)
                         .toUtf8());
    config.close();
    QProcess p;
    QElapsedTimer clock;
    clock.start();
    p.start(QStringLiteral("curl"),
            {QStringLiteral("--parallel"), QStringLiteral("--parallel-max"),
             QString::number(streams), QStringLiteral("--create-dirs"), QStringLiteral("--fail"),
             QStringLiteral("-sS"), QStringLiteral("-K"), config.fileName()});
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTextStream(stderr) << "curl failed: " << p.readAllStandardError() << '\n';
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    int files = 2000, delayMs = 20, streams = 6, rounds = 3;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        int* target = a == QLatin1String("--files")     ? &files
                      : a == QLatin1String("--delay")   ? &delayMs
                      : a == QLatin1String("--streams") ? &streams
                      : a == QLatin1String("--rounds")  ? &rounds
                                                        : nullptr;
        if (!target || i + 1 >= args.size()) {
            out << "usage: bench_latency [--files N] [--delay MS] [--streams S] [--rounds R]\n";
            return a == QLatin1String("--help") ? 0 : 64;
        }
        *target = args.at(++i).toInt();
    }

    QTemporaryDir work;
    const QString buildDir = work.filePath(QStringLiteral("build"));
    const QString mirrorRoot = work.filePath(QStringLiteral("mirror"));
    // About 2 KiB a file: the round trips, not the bytes, decide.
    if (!writeSyntheticBuild(buildDir, files, qint64(files) * 2048))
        return 1;
    PublishOptions options;
    options.gzipMinSize = qint64(1) << 50;
    const PublishResult release = makeRelease(buildDir, 7, mirrorRoot, options);
    if (!release.ok)
        return 1;
    const QList<FileDownloadSpecification> list = downloadListFromIni(release.productIni);

    QList<double> curlTimes, updaterTimes;
    int curlConnections = 0, updaterConnections = 0;
    for (int round = 0; round < rounds; ++round) {
        const QString curlDir = work.filePath(QStringLiteral("curl%1").arg(round));
        const QString updaterDir = work.filePath(QStringLiteral("updater%1").arg(round));
        double curl = -1, updater = -1;
        {
            ServerThread server(mirrorRoot, delayMs);
            curl = fetchWithCurl(server.baseUrl(), list, curlDir, streams);
            curlConnections = server.connections();
        }
        {
            ServerThread server(mirrorRoot, delayMs);
            // The download list makes the subdirectories; the engine makes the directory.
            QDir().mkpath(updaterDir);
            updater = fetchWithUpdater(server.baseUrl(), list, updaterDir, streams);
            updaterConnections = server.connections();
        }
        QDir(curlDir).removeRecursively();
        QDir(updaterDir).removeRecursively();
        if (curl < 0 || updater < 0)
            return 1;
        curlTimes << curl;
        updaterTimes << updater;
        out << QStringLiteral("round %1: curl %2 s (%3 connections), updater %4 s (%5 "
                              "connections)\n")
                   .arg(round + 1)
                   .arg(curl, 0, 'f', 2)
                   .arg(curlConnections)
                   .arg(updater, 0, 'f', 2)
                   .arg(updaterConnections)
            << Qt::flush;
    }
    out << QStringLiteral("files %1, %2 ms before each answer, %3 streams, medians of %4 rounds:\n")
               .arg(list.size())
               .arg(delayMs)
               .arg(streams)
               .arg(rounds)
        << QStringLiteral("  curl --parallel-max %1: %2 s\n")
               .arg(streams)
               .arg(median(curlTimes), 0, 'f', 2)
        << QStringLiteral("  updater:              %1 s\n").arg(median(updaterTimes), 0, 'f', 2)
        << QStringLiteral("  ratio updater / curl: %1x (goal <= 1.1x)\n")
               .arg(median(updaterTimes) / median(curlTimes), 0, 'f', 2);
    return 0;
}
