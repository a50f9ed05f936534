// Whole update runs of the real updater (the headless runner) from version 120 to 130 of a
// synthetic client, against nginx on loopback: a full update (130 without patches) against a
// delta update (130 with patches from 120), on unlimited mirrors and on mirrors limited to
// 10 MB/s each. nginx's limit_rate lets every request burst a second's worth, so the limited
// mirrors are the test server dripping 100 KiB every 10 ms; the updater keeps one transfer per
// mirror, so that is the mirror's rate. Each file of 130 differs from 120 in a few scattered places
// (about 1% of its bytes), and a few files are new. Also prints the time quillon-publish takes to
// make the patches, and the patches' size against bsdiff's on the same pairs.
//
//   bench_delta [--files N] [--mb M] [--new K] [--bsdiff-pairs P] [--dir D] [--keep]
//   (defaults: 500 files, 300 MB, 5 new files, bsdiff on every pair; a small run such as
//   --files 50 --mb 20 takes seconds)
#include "support/downloadfixture.h"
#include "support/faulthttpserver.h"
#include "support/nginxrunner.h"
#include "support/releasemaker.h"
#include "support/testpaths.h"
#include "verify/releasemanifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

QTextStream out(stdout);

QByteArray noise(qint64 size, quint32 x) {
    QByteArray data(size, Qt::Uninitialized);
    for (char& c : data)
        c = char((x = x * 1103515245u + 12345u) >> 24);
    return data;
}

bool writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Runs a program to its end; its wall time in seconds, or -1 on failure.
double timed(const QString& program, const QStringList& args,
             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTextStream(stderr) << program << " failed: " << p.readAll().right(2000) << '\n';
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

// The same, while this thread's event loop runs (the limited mirrors live on it).
double timedInLoop(const QString& program, const QStringList& args,
                   const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&p, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    loop.exec();
    if (p.state() != QProcess::NotRunning)
        p.waitForFinished(-1);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTextStream(stderr) << program << " failed: " << p.readAll().right(2000) << '\n';
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

struct Run {
    double seconds = -1;
    qint64 bytes = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    int files = 500, newFiles = 5, bsdiffPairs = -1;
    qint64 megabytes = 300;
    bool keep = false;
    QString base = QDir::tempPath();
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--files"))
            files = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--mb"))
            megabytes = args.value(++i).toLongLong();
        else if (args[i] == QLatin1String("--new"))
            newFiles = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--bsdiff-pairs"))
            bsdiffPairs = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--dir"))
            base = args.value(++i);
        else if (args[i] == QLatin1String("--keep"))
            keep = true;
        else {
            out << "usage: bench_delta [--files N] [--mb M] [--new K] [--bsdiff-pairs P] "
                   "[--dir D] [--keep]\n";
            return args[i] == QLatin1String("--help") ? 0 : 64;
        }
    }
    if (files < 1 || megabytes < 1)
        return 64;
    if (bsdiffPairs < 0)
        bsdiffPairs = files;

    QTemporaryDir work(base + QStringLiteral("/bench_delta-XXXXXX"));
    work.setAutoRemove(!keep);
    const QString old = work.filePath("build/120"), now = work.filePath("build/130");
    const qint64 fileSize = megabytes * 1024 * 1024 / files;
    out << "making " << files << " files of " << fileSize << " bytes and " << newFiles
        << " new ones in " << work.path() << '\n'
        << Qt::flush;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("lib/part%1.bin").arg(i, 4, 10, QLatin1Char('0'));
        QByteArray data = noise(fileSize, quint32(i + 1));
        if (!writeFile(old + '/' + name, data))
            return 1;
        // Five scattered changes, 1% of the file in all.
        const qint64 span = std::max<qint64>(1, fileSize / 500);
        for (int c = 0; c < 5; ++c)
            data.replace(fileSize * (2 * c + 1) / 10, span, noise(span, quint32(7919 * i + c)));
        if (!writeFile(now + '/' + name, data))
            return 1;
    }
    for (int i = 0; i < newFiles; ++i) {
        if (!writeFile(now + QStringLiteral("/new/file%1.bin").arg(i), noise(fileSize, 99 + i)))
            return 1;
    }

    // 120 in both trees; 130 whole in one, with patches in the other.
    PublishOptions options;
    options.gzipMinSize = qint64(1) << 50; // random data: gzip would only cost time
    const QString fullRoot = work.filePath("mirror-full"),
                  deltaRoot = work.filePath("mirror-delta");
    QElapsedTimer clock;
    if (!makeRelease(old, 120, fullRoot, options).ok ||
        !makeRelease(old, 120, deltaRoot, options).ok)
        return 1;
    clock.start();
    if (!makeRelease(now, 130, fullRoot, options).ok)
        return 1;
    const double plainPublish = clock.nsecsElapsed() / 1e9;
    options.deltaFrom = {QStringLiteral("120")};
    clock.restart();
    const PublishResult delta = makeRelease(now, 130, deltaRoot, options);
    const double deltaPublish = clock.nsecsElapsed() / 1e9;
    if (!delta.ok)
        return 1;
    out << delta.stdOut << Qt::flush;
    ReleaseManifest manifest;
    QString error;
    if (!manifest.read(delta.releaseDir + "/client_linux_amd64.manifest", &error))
        return 1;
    qint64 patchBytes = 0;
    for (const DeltaPatchEntry& patch : std::as_const(manifest.patches))
        patchBytes += patch.size;

    // bsdiff on the same pairs, with its own time.
    qint64 bsdiffBytes = 0, ourBytesOnPairs = 0;
    double bsdiffSeconds = 0;
    int pairs = 0;
    for (const DeltaPatchEntry& patch : std::as_const(manifest.patches)) {
        if (pairs == bsdiffPairs)
            break;
        const QString target = work.filePath("bsdiff.patch");
        const double s = timed(QStringLiteral("bsdiff"),
                               {old + '/' + patch.path, now + '/' + patch.path, target});
        if (s < 0)
            return 1;
        bsdiffSeconds += s;
        bsdiffBytes += QFileInfo(target).size();
        ourBytesOnPairs += patch.size;
        ++pairs;
    }

    NginxRunner nginx(work.filePath("nginx"));
    QDir().mkpath(nginx.prefix());
    for (const QString& root : {fullRoot, deltaRoot}) {
        nginx.addServer(root);
        nginx.addServer(root);
    }
    if (!nginx.start(&error)) {
        QTextStream(stderr) << error << '\n';
        return 1;
    }
    // Two limited mirrors for each tree.
    std::vector<std::unique_ptr<FaultHttpServer>> slow;
    for (const QString& root : {fullRoot, fullRoot, deltaRoot, deltaRoot}) {
        auto server = std::make_unique<FaultHttpServer>(root);
        server->setKeepAlive(true);
        FaultRule drip;
        drip.dripBytes = 100 * 1024;
        drip.dripIntervalMs = 10;
        QDirIterator it(root + "/130", QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            server->setRule("/130/" + QDir(root + "/130").relativeFilePath(it.next()), drip);
        if (!server->listen())
            return 1;
        slow.push_back(std::move(server));
    }
    // 0, 1: whole; 2, 3: delta, on nginx or on the limited mirrors.
    const auto update = [&](int first, bool limited) {
        Run run;
        const QString install = work.filePath("install"), tmp = work.filePath("tmp");
        QDir(install).removeRecursively();
        QDir(tmp).removeRecursively();
        QDir().mkpath(tmp);
        if (QProcess::execute("cp", {"-a", old, install}) != 0 ||
            !writeMirrorsIni(install + "/mirrors.ini",
                             limited
                                 ? QStringList{slow[first]->baseUrl(), slow[first + 1]->baseUrl()}
                                 : QStringList{nginx.baseUrl(first), nginx.baseUrl(first + 1)}))
            return run;
        QSettings(install + "/update.ini", QSettings::IniFormat).setValue("update/streams", 6);
        // Nothing of the copy in the page cache counts for one run more than the other.
        QProcess::execute("sync", {});
        const qsizetype before = nginx.accessLog().size();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp);
        run.seconds = timedInLoop(binPath("update-headless"),
                                  {install, "--nouser", "client_linux_amd64", "130"}, env);
        // nginx logs a request once it is done; all are, since the run ended.
        for (const NginxRunner::AccessEntry& e : nginx.accessLog().mid(before))
            run.bytes += e.bytes;
        if (limited) {
            for (int i = first; i < first + 2; ++i) {
                const QStringList paths = slow[i]->requestLog();
                for (const QString& path : QSet<QString>(paths.cbegin(), paths.cend()))
                    run.bytes += slow[i]->bytesSent(path);
            }
        }
        if (run.seconds >= 0 &&
            QProcess::execute("diff", {"-rq", now, install, "-x", "*.ini"}) != 0)
            run.seconds = -1;
        return run;
    };
    const Run full = update(0, false), patched = update(2, false), fullSlow = update(0, true),
              patchedSlow = update(2, true);
    if (full.seconds < 0 || patched.seconds < 0 || fullSlow.seconds < 0 ||
        patchedSlow.seconds < 0) {
        QTextStream(stderr) << "an update failed or left the wrong files\n";
        return 1;
    }

    const double gb = double(files) * fileSize / (1024.0 * 1024 * 1024);
    out << QStringLiteral("release 130: %1 files (%2 MB), %3 new; %4 patches, %5 MB\n")
               .arg(files + newFiles)
               .arg((files + newFiles) * fileSize / 1048576.0, 0, 'f', 1)
               .arg(newFiles)
               .arg(manifest.patches.size())
               .arg(patchBytes / 1048576.0, 0, 'f', 2)
        << QStringLiteral("  bytes fetched:      full %1 MB, delta %2 MB: %3% (goal <= 5%)\n")
               .arg(full.bytes / 1048576.0, 0, 'f', 1)
               .arg(patched.bytes / 1048576.0, 0, 'f', 2)
               .arg(100.0 * patched.bytes / full.bytes, 0, 'f', 2)
        << QStringLiteral("  loopback:           full %1 s, delta %2 s: %3x (goal <= 1.0x)\n")
               .arg(full.seconds, 0, 'f', 2)
               .arg(patched.seconds, 0, 'f', 2)
               .arg(patched.seconds / full.seconds, 0, 'f', 2)
        << QStringLiteral("  mirrors at 10 MB/s: full %1 s, delta %2 s: %3x faster (goal >= 10x)\n")
               .arg(fullSlow.seconds, 0, 'f', 2)
               .arg(patchedSlow.seconds, 0, 'f', 2)
               .arg(fullSlow.seconds / patchedSlow.seconds, 0, 'f', 1)
        << QStringLiteral("  against bsdiff:     %1 pairs, ours %2 bytes, bsdiff %3 bytes: %4 "
                          "(bsdiff took %5 s)\n")
               .arg(pairs)
               .arg(ourBytesOnPairs)
               .arg(bsdiffBytes)
               .arg(bsdiffBytes > 0 ? double(ourBytesOnPairs) / bsdiffBytes : 0, 0, 'f', 3)
               .arg(bsdiffSeconds, 0, 'f', 1)
        << QStringLiteral("  making the patches: %1 s for %2 GB: %3 s per GB (publish with "
                          "patches %4 s, without %5 s)\n")
               .arg(deltaPublish - plainPublish, 0, 'f', 1)
               .arg(gb, 0, 'f', 3)
               .arg((deltaPublish - plainPublish) / gb, 0, 'f', 1)
               .arg(deltaPublish, 0, 'f', 1)
               .arg(plainPublish, 0, 'f', 1);
    if (keep)
        out << "kept " << work.path() << '\n';
    return 0;
}
