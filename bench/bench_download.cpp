// Downloads a synthetic release of 2,000 files (about 500 MB) from three nginx server blocks on
// loopback with DownloadFileListTaskSpecification (downloadConcurrency 6, one slot per mirror),
// and the same files with curl --parallel --parallel-max 3 followed by md5sum -c. Prints wall
// times, the ratio updater / (curl + md5sum) and the updater's peak memory.
//
//   bench_download [--files N] [--mb M] [--rounds R] [--dir D] [--keep]
//   (D: where the release and the downloads go, default the system's temporary directory; a
//   tmpfs such as /dev/shm keeps disk writeback and ext4 inode allocation out of the figures)
//   bench_download --fetch MIRRORS_INI PRODUCT_INI TEMP_DIR STREAMS   (the updater side, run as
//                                                                     a child so that its peak
//                                                                     memory is its own)
#include "config/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/mirroraccessmanager.h"
#include "download/mirrors.h"
#include "support/downloadfixture.h"
#include "support/median.h"
#include "support/nginxrunner.h"
#include "support/releasemaker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

namespace {

QTextStream out(stdout);

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int fetch(const QStringList& args) {
    Mirrors pool;
    pool.initDefault(Settings::readMirrorsFile(args.at(0)), 7);
    Configuration config;
    config.tempDir = args.at(2);
    config.downloadConcurrency = args.at(3).toInt();
    MirrorAccessManager manager;
    QList<FileDownloadSpecification> list = downloadListFromIni(args.at(1));
    DownloadFileListTaskSpecification task(&list, &manager, &pool, &config, nullptr, 1.0);
    QObject::connect(&task, &TaskSpecification::error,
                     [](const QString& text) { QTextStream(stderr) << text << '\n'; });
    // The engine's poll, which also drives the stall time-out.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&task] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
    });
    poll.start(1000);
    QElapsedTimer clock;
    auto report = [&] {
        out << "task_ms=" << clock.elapsed() << " state=" << int(task.state())
            << " peak_rss_kb=" << peakRssKb() << '\n'
            << Qt::flush;
        QCoreApplication::exit(task.state() == TaskSpecification::Finished ? 0 : 1);
    };
    QObject::connect(&task, &TaskSpecification::finished, report);
    QObject::connect(&task, &TaskSpecification::canceled, report);
    clock.start();
    task.execute();
    return QCoreApplication::exec();
}

// Runs a program, returns its wall time in seconds, or -1 on failure.
double timed(const QString& program, const QStringList& args, const QString& workDir = {},
             QByteArray* stdOut = nullptr) {
    QProcess p;
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTextStream(stderr) << program << " failed: " << p.readAllStandardError() << '\n';
        return -1;
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (stdOut)
        *stdOut = p.readAllStandardOutput();
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("--fetch") && args.size() == 5)
        return fetch(args.mid(1));

    int files = 2000;
    qint64 megabytes = 500;
    int rounds = 3;
    bool keep = false;
    QString base = QDir::tempPath();
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--files"))
            files = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--mb"))
            megabytes = args.value(++i).toLongLong();
        else if (args[i] == QLatin1String("--rounds"))
            rounds = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--keep"))
            keep = true;
        else if (args[i] == QLatin1String("--dir"))
            base = args.value(++i);
        else {
            out << "usage: bench_download [--files N] [--mb M] [--rounds R] [--dir D] [--keep]\n";
            return args[i] == QLatin1String("--help") ? 0 : 64;
        }
    }

    QTemporaryDir work(base + QStringLiteral("/bench_download-XXXXXX"));
    work.setAutoRemove(!keep);
    const QString buildDir = work.filePath(QStringLiteral("build"));
    const QString mirrorRoot = work.filePath(QStringLiteral("mirror"));
    QDir().mkpath(work.filePath(QStringLiteral("nginx")));
    out << "making " << files << " files, " << megabytes << " MB in " << work.path() << '\n'
        << Qt::flush;
    if (!writeSyntheticBuild(buildDir, files, megabytes * 1024 * 1024))
        return 1;
    PublishOptions options;
    options.gzipMinSize = qint64(1) << 50; // random data: gzip would only cost time
    const PublishResult release = makeRelease(buildDir, 7, mirrorRoot, options);
    if (!release.ok)
        return 1;

    NginxRunner nginx(work.filePath(QStringLiteral("nginx")));
    for (int i = 0; i < 3; ++i)
        nginx.addServer(mirrorRoot);
    QString why;
    if (!nginx.start(&why)) {
        QTextStream(stderr) << why << '\n';
        return 1;
    }
    const QString mirrorsIni = work.filePath(QStringLiteral("mirrors.ini"));
    writeMirrorsIni(mirrorsIni, {nginx.baseUrl(0), nginx.baseUrl(1), nginx.baseUrl(2)});
    const QList<FileDownloadSpecification> list = downloadListFromIni(release.productIni);
    qint64 bytes = 0;
    for (const FileDownloadSpecification& entry : list)
        bytes += qint64(entry.size);

    // curl's side: the same URLs spread over the three servers, then md5sum over the result.
    QFile sums(work.filePath(QStringLiteral("md5sums")));
    sums.open(QIODevice::WriteOnly);
    for (const FileDownloadSpecification& entry : list)
        sums.write(QStringLiteral("%1  %2\n").arg(entry.md5, entry.fileName).toUtf8());
    sums.close();
    auto writeCurlConfig = [&](const QString& path, const QString& outDir) {
        QFile config(path);
        config.open(QIODevice::WriteOnly);
        for (int i = 0; i < list.size(); ++i) {
            const FileDownloadSpecification& entry = list.at(i);
            config.write(QStringLiteral("url = \"%1/7/%2/%3\"\noutput = \"%4/%3\"\n")
                             .arg(nginx.baseUrl(i % 3), entry.section, entry.fileName, outDir)
                             .toUtf8());
        }
    };

    QList<double> curlTimes, md5Times, updaterTimes, taskTimes;
    long peakKb = 0;
    for (int round = 0; round < rounds; ++round) {
        const QString curlDir = work.filePath(QStringLiteral("curl%1").arg(round));
        const QString updaterDir = work.filePath(QStringLiteral("temp%1").arg(round));
        const QString config = work.filePath(QStringLiteral("curl%1.conf").arg(round));
        writeCurlConfig(config, curlDir);
        const double curl =
            timed(QStringLiteral("curl"),
                  {QStringLiteral("--parallel"), QStringLiteral("--parallel-max"),
                   QStringLiteral("3"), QStringLiteral("--create-dirs"), QStringLiteral("--fail"),
                   QStringLiteral("-sS"), QStringLiteral("-K"), config});
        const double md5 =
            timed(QStringLiteral("md5sum"),
                  {QStringLiteral("-c"), QStringLiteral("--quiet"), sums.fileName()}, curlDir);
        if (curl < 0 || md5 < 0)
            return 1;

        QDir().mkpath(updaterDir);
        QByteArray report;
        const double updater = timed(QCoreApplication::applicationFilePath(),
                                     {QStringLiteral("--fetch"), mirrorsIni, release.productIni,
                                      updaterDir, QStringLiteral("6")},
                                     QString(), &report);
        QDir(curlDir).removeRecursively();
        QDir(updaterDir).removeRecursively();
        if (updater < 0)
            return 1;
        const QString line = QString::fromUtf8(report).trimmed();
        const long kb = line.section(QStringLiteral("peak_rss_kb="), 1).toLong();
        const double taskSeconds =
            line.section(QStringLiteral("task_ms="), 1).section(' ', 0, 0).toDouble() / 1000;
        peakKb = std::max(peakKb, kb);
        curlTimes << curl;
        md5Times << md5;
        updaterTimes << updater;
        taskTimes << taskSeconds;
        out << QStringLiteral("round %1: curl %2 s + md5sum %3 s = %4 s; updater %5 s (task %6 s), "
                              "peak %7 MB\n")
                   .arg(round + 1)
                   .arg(curl, 0, 'f', 2)
                   .arg(md5, 0, 'f', 2)
                   .arg(curl + md5, 0, 'f', 2)
                   .arg(updater, 0, 'f', 2)
                   .arg(taskSeconds, 0, 'f', 2)
                   .arg(kb / 1024.0, 0, 'f', 1)
            << Qt::flush;
    }
    const double baseline = median(curlTimes) + median(md5Times);
    out << QStringLiteral("files %1, %2 MB, medians of %3 rounds:\n")
               .arg(list.size())
               .arg(bytes / 1048576.0, 0, 'f', 1)
               .arg(rounds)
        << QStringLiteral("  curl --parallel-max 3 + md5sum: %1 s (%2 + %3)\n")
               .arg(baseline, 0, 'f', 2)
               .arg(median(curlTimes), 0, 'f', 2)
               .arg(median(md5Times), 0, 'f', 2)
        << QStringLiteral("  updater (streams 6):            %1 s (process), %2 s (task)\n")
               .arg(median(updaterTimes), 0, 'f', 2)
               .arg(median(taskTimes), 0, 'f', 2)
        << QStringLiteral("  ratio updater / baseline:       %1x (goal <= 1.0x)\n")
               .arg(median(updaterTimes) / baseline, 0, 'f', 2)
        << QStringLiteral("  updater peak memory:            %1 MB (goal < 100 MB)\n")
               .arg(peakKb / 1024.0, 0, 'f', 1);
    if (keep)
        out << "kept " << work.path()
            << "; fetch again with: " << QCoreApplication::applicationFilePath() << " --fetch "
            << mirrorsIni << ' ' << release.productIni << ' '
            << work.filePath(QStringLiteral("temp")) << " 6\n"
            << "(nginx is stopped now; restart it with nginx -p " << nginx.prefix() << "/ -c "
            << nginx.prefix() << "/nginx.conf)\n";
    return 0;
}
