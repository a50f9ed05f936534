// Whole update runs of the real programs against three nginx server blocks on loopback, beside
// the standard tools on the same release in the same run: curl --parallel --parallel-max 3 over
// every file of the release, then md5sum over them. Each round runs the tools and the updater one
// after another; the figures are medians over the rounds.
//
// An update is "update --nouser client_linux_amd64 130" of an installation of 120 in which every
// file differs. The window program runs under the offscreen platform; its time is its wall time
// minus its two fixed timers (2 s before the unattended start, 1 s before it starts the client),
// so start-up work done while the first timer runs is not counted. The headless runner has no
// such waits. Both timers are precise (they fire a millisecond or so late, never early), so a
// window figure is too high by about that much; the headless runner's figure is exact. Peak
// memory is the child's ru_maxrss from wait4(), cpu the child's user and system time.
//
//   bench_update [--cases big,small,window,rss,current,scale] [--rounds R] [--dir D]
//                [--bin DIR] [--scale F] [--wrap CMD] [--keep]
//   --bin DIR: where update, update-headless and translations/ are (default: this build's), so
//              that another build's programs can be measured with the same benchmark
//   --scale F: multiplies every file count, for a quick run (--scale 0.1 --rounds 1)
//   --dir D:   where releases and installations go; a tmpfs such as /dev/shm keeps disk
//              writeback out of the figures
//   --wrap CMD: runs the updater under CMD, for profiling ("perf record -g -o FILE", "heaptrack")
#include "support/downloadfixture.h"
#include "support/median.h"
#include "support/nginxrunner.h"
#include "support/releasemaker.h"
#include "support/testpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <map>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

namespace {

QTextStream out(stdout);
QTextStream err(stderr);

constexpr double WindowFixedWaits = 3.0;

enum Program { Tools, Window, Headless, Md5sum };

struct Sample {
    double seconds = -1;
    long peakKb = 0;
    // User and system time: less sensitive than the wall time to other load on the machine.
    double cpuSeconds = 0;
};

// Runs program to its end with stdout and stderr in logFile; wall time and peak memory.
Sample runChild(const QString& program, const QStringList& args, const QString& workDir,
                const QStringList& extraEnv, const QString& logFile) {
    QList<QByteArray> storage{QFile::encodeName(program)};
    for (const QString& a : args)
        storage << a.toUtf8();
    QList<QByteArray> envStorage;
    for (const QString& e : extraEnv)
        envStorage << e.toUtf8();
    for (char** e = environ; *e; ++e) {
        const QByteArray entry(*e);
        const bool overridden =
            std::any_of(envStorage.cbegin(), envStorage.cend(), [&](const QByteArray& own) {
                return entry.startsWith(own.left(own.indexOf('=') + 1));
            });
        if (!overridden)
            envStorage << entry;
    }
    std::vector<char*> argv, envp;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (QByteArray& e : envStorage)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray log = QFile::encodeName(logFile);
    posix_spawn_file_actions_addopen(&actions, 1, log.constData(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const QByteArray dir = QFile::encodeName(workDir);
    if (!workDir.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Sample sample;
    if (spawned != 0) {
        err << program << ": cannot start\n";
        return sample;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return sample;
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        err << program << " " << args.join(' ') << " failed (status " << status << "); see "
            << logFile << '\n'
            << Qt::flush;
        return sample;
    }
    sample.seconds = seconds;
    sample.peakKb = usage.ru_maxrss;
    sample.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return sample;
}

// Prefixed to the updater's command line.
QStringList wrapper;

Sample runUpdater(const QString& program, const QStringList& args, const QStringList& env,
                  const QString& logFile) {
    if (wrapper.isEmpty())
        return runChild(program, args, {}, env, logFile);
    return runChild(wrapper.first(), wrapper.mid(1) + QStringList{program} + args, {}, env,
                    logFile);
}

bool run(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A client build of `count` files with sizes spread evenly over [minSize, maxSize], a hundred
// to a directory, and a start script that does nothing. Contents do not compress and differ
// with the seed.
bool writeBuild(const QString& dir, int count, qint64 minSize, qint64 maxSize, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/d%2/file%3.bin").arg(dir).arg(i / 100).arg(i);
        if (i % 100 == 0 && !QDir().mkpath(QFileInfo(path).path()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        qint64 left = minSize + qint64(random.bounded(double(maxSize - minSize + 1)));
        while (left > 0) {
            const qint64 n = std::min<qint64>(left, block.size());
            random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            if (file.write(block.constData(), n) != n)
                return false;
            left -= n;
        }
    }
    QFile script(dir + QStringLiteral("/qlnclient_runscript.sh"));
    if (!script.open(QIODevice::WriteOnly) || script.write("#!/bin/sh\nexit 0\n") < 0)
        return false;
    script.close();
    return script.setPermissions(script.permissions() | QFile::ExeOwner | QFile::ExeGroup |
                                 QFile::ExeOther);
}

struct Figures {
    QList<double> seconds;
    QList<double> cpuSeconds;
    long peakKb = 0;
    double median() const { return ::median(seconds); }
    double cpu() const { return ::median(cpuSeconds); }
};

// One synthetic release of version 130, its installation of 120 and what was measured on it.
class Release {
public:
    Release(QString name, int count, qint64 minSize, qint64 maxSize)
        : name(std::move(name))
        , count(count)
        , minSize(minSize)
        , maxSize(maxSize) {}

    bool prepare(const QString& work, const QString& bin, const NginxRunner& nginx);
    // One round of every program in `programs`, in order.
    bool runRound(int round, const QList<Program>& programs);

    const QString name;
    const int count;
    const qint64 minSize, maxSize;
    qint64 bytes = 0;
    QMap<Program, Figures> figures;

private:
    bool install(const QString& installDir, const QString& build);

    QString dir, bin, build120, build130, sums, curlConfig, logFile;
    QStringList mirrorUrls;
    QList<FileDownloadSpecification> list;
};

bool Release::prepare(const QString& work, const QString& binDir, const NginxRunner& nginx) {
    dir = work + QLatin1Char('/') + name;
    bin = binDir;
    build120 = dir + QStringLiteral("/build-120");
    build130 = dir + QStringLiteral("/build-130");
    logFile = dir + QStringLiteral("/runs.log");
    out << "making " << name << ": " << count << " files of " << minSize << " to " << maxSize
        << " bytes in " << dir << '\n'
        << Qt::flush;
    if (!writeBuild(build120, count, minSize, maxSize, 120) ||
        !writeBuild(build130, count, minSize, maxSize, 130))
        return false;
    PublishOptions options;
    options.gzipMinSize = qint64(1) << 50; // random data: gzip would only cost time
    const PublishResult release =
        makeRelease(build130, 130, dir + QStringLiteral("/mirror"), options);
    if (!release.ok) {
        err << release.stdErr << '\n';
        return false;
    }
    list = downloadListFromIni(release.productIni);
    // nginx serves the working directory: each release's mirror tree is below its own name.
    for (int i = 0; i < 3; ++i)
        mirrorUrls << nginx.baseUrl(i) + QLatin1Char('/') + name + QStringLiteral("/mirror");

    QFile sumFile(dir + QStringLiteral("/md5sums"));
    QFile config(dir + QStringLiteral("/curl.conf"));
    if (!sumFile.open(QIODevice::WriteOnly) || !config.open(QIODevice::WriteOnly))
        return false;
    for (int i = 0; i < list.size(); ++i) {
        const FileDownloadSpecification& entry = list.at(i);
        bytes += qint64(entry.size);
        sumFile.write(QStringLiteral("%1  %2\n").arg(entry.md5, entry.fileName).toUtf8());
        config.write(QStringLiteral("url = \"%1/130/%2/%3\"\noutput = \"%4/%3\"\n")
                         .arg(mirrorUrls.at(i % 3), entry.section, entry.fileName,
                              dir + QStringLiteral("/curl"))
                         .toUtf8());
    }
    sums = sumFile.fileName();
    curlConfig = config.fileName();
    return true;
}

bool Release::install(const QString& installDir, const QString& build) {
    QDir(installDir).removeRecursively();
    if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), build, installDir}) ||
        !QFile::copy(bin + QStringLiteral("/update"), installDir + QStringLiteral("/update")) ||
        !QFile::setPermissions(installDir + QStringLiteral("/update"),
                               QFile::permissions(bin + QStringLiteral("/update"))) ||
        !run(QStringLiteral("cp"), {QStringLiteral("-a"), bin + QStringLiteral("/translations"),
                                    installDir + QStringLiteral("/translations")}))
        return false;
    {
        // No update server: the banner query goes to a port nobody answers on.
        QSettings ini(installDir + QStringLiteral("/update.ini"), QSettings::IniFormat);
        ini.setValue(QStringLiteral("update/server"), QStringLiteral("127.0.0.1"));
        ini.setValue(QStringLiteral("update/bannerPort"), 9);
    }
    return writeMirrorsIni(installDir + QStringLiteral("/mirrors.ini"), mirrorUrls);
}

bool Release::runRound(int round, const QList<Program>& programs) {
    const QString installDir = dir + QStringLiteral("/install");
    const QString tmp = dir + QStringLiteral("/tmp");
    const QStringList env{QStringLiteral("QT_QPA_PLATFORM=offscreen"),
                          QStringLiteral("TMPDIR=") + tmp};
    const QStringList updateArgs{QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"),
                                 QStringLiteral("130")};
    out << "  " << name << " round " << round + 1 << ':';
    for (Program program : programs) {
        QDir(tmp).removeRecursively();
        QDir().mkpath(tmp);
        Sample sample;
        switch (program) {
        case Tools: {
            const QString curlDir = dir + QStringLiteral("/curl");
            QDir(curlDir).removeRecursively();
            const Sample curl = runChild(QStringLiteral("curl"),
                                         {QStringLiteral("--parallel"),
                                          QStringLiteral("--parallel-max"), QStringLiteral("3"),
                                          QStringLiteral("--create-dirs"), QStringLiteral("--fail"),
                                          QStringLiteral("-sS"), QStringLiteral("-K"), curlConfig},
                                         {}, {}, logFile);
            const Sample md5 = runChild(QStringLiteral("md5sum"),
                                        {QStringLiteral("-c"), QStringLiteral("--quiet"), sums},
                                        curlDir, {}, logFile);
            if (curl.seconds < 0 || md5.seconds < 0)
                return false;
            sample = {curl.seconds + md5.seconds, std::max(curl.peakKb, md5.peakKb),
                      curl.cpuSeconds + md5.cpuSeconds};
            QDir(curlDir).removeRecursively();
            break;
        }
        case Md5sum:
            if (!install(installDir, build130))
                return false;
            sample = runChild(QStringLiteral("md5sum"),
                              {QStringLiteral("-c"), QStringLiteral("--quiet"), sums}, installDir,
                              {}, logFile);
            break;
        case Window:
        case Headless: {
            // An installation of 120 to update; for the md5sum comparison, one already current.
            const bool current = programs.contains(Md5sum);
            if (!install(installDir, current ? build130 : build120))
                return false;
            if (program == Window) {
                sample =
                    runUpdater(installDir + QStringLiteral("/update"), updateArgs, env, logFile);
                if (sample.seconds >= 0)
                    sample.seconds -= WindowFixedWaits;
            } else {
                sample = runUpdater(bin + QStringLiteral("/update-headless"),
                                    QStringList{installDir} + updateArgs, env, logFile);
            }
            QSettings ini(installDir + QStringLiteral("/update.ini"), QSettings::IniFormat);
            if (sample.seconds >= 0 &&
                ini.value(QStringLiteral("installed/version")).toInt() != 130) {
                err << "the run did not install 130; see " << logFile << '\n';
                return false;
            }
            break;
        }
        }
        if (sample.seconds < 0)
            return false;
        static const char* const names[] = {"tools", "window", "headless", "md5sum"};
        out << ' ' << names[program] << ' ' << QString::number(sample.seconds, 'f', 2) << " s (cpu "
            << QString::number(sample.cpuSeconds, 'f', 2) << " s) "
            << QString::number(sample.peakKb / 1024.0, 'f', 1) << " MB;";
        figures[program].seconds << sample.seconds;
        figures[program].cpuSeconds << sample.cpuSeconds;
        figures[program].peakKb = std::max(figures[program].peakKb, sample.peakKb);
    }
    out << '\n' << Qt::flush;
    QDir(installDir).removeRecursively();
    return true;
}

QString mb(long kb) {
    return QString::number(kb / 1024.0, 'f', 1) + QStringLiteral(" MB");
}

QString sec(double s) {
    return QString::number(s, 'f', 2) + QStringLiteral(" s");
}

// Wall time with cpu time.
QString sec(const Figures& f) {
    return sec(f.median()) + QStringLiteral(" (cpu ") + sec(f.cpu()) + QLatin1Char(')');
}

QString ratio(double a, double b) {
    return QString::number(a / b, 'f', 2) + QLatin1Char('x');
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QStringList allCases{QStringLiteral("big"),     QStringLiteral("small"),
                               QStringLiteral("window"),  QStringLiteral("rss"),
                               QStringLiteral("current"), QStringLiteral("scale")};
    QStringList cases = allCases;
    int rounds = 3;
    double scale = 1;
    bool keep = false;
    QString base = QDir::tempPath();
    QString bin = binPath(QString()).chopped(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--cases"))
            cases = args.value(++i).split(QLatin1Char(','));
        else if (args[i] == QLatin1String("--rounds"))
            rounds = std::max(1, args.value(++i).toInt());
        else if (args[i] == QLatin1String("--scale"))
            scale = args.value(++i).toDouble();
        else if (args[i] == QLatin1String("--dir"))
            base = args.value(++i);
        else if (args[i] == QLatin1String("--bin"))
            bin = QDir(args.value(++i)).absolutePath();
        else if (args[i] == QLatin1String("--keep"))
            keep = true;
        else if (args[i] == QLatin1String("--wrap"))
            wrapper = args.value(++i).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        else {
            out << "usage: bench_update [--cases " << allCases.join(',')
                << "] [--rounds R] [--dir D] [--bin DIR] [--scale F] [--wrap CMD] [--keep]\n";
            return args[i] == QLatin1String("--help") ? 0 : 64;
        }
    }
    for (const QString& c : std::as_const(cases)) {
        if (!allCases.contains(c)) {
            err << "unknown case " << c << '\n';
            return 64;
        }
    }
    if (scale <= 0 || scale > 1) {
        err << "--scale wants a factor in (0, 1]\n";
        return 64;
    }
    const auto files = [scale](int n) { return std::max(10, int(n * scale)); };

    QTemporaryDir work(base + QStringLiteral("/bench_update-XXXXXX"));
    work.setAutoRemove(!keep);
    QDir().mkpath(work.filePath(QStringLiteral("nginx")));
    NginxRunner nginx(work.filePath(QStringLiteral("nginx")));
    for (int i = 0; i < 3; ++i)
        nginx.addServer(work.path());
    QString why;
    if (!nginx.start(&why)) {
        err << why << '\n';
        return 1;
    }

    // The releases the chosen cases need, and which programs run on each.
    std::map<QString, std::unique_ptr<Release>> releases;
    QMap<QString, QList<Program>> programs;
    auto need = [&](const QString& name, int count, qint64 minSize, qint64 maxSize,
                    const QList<Program>& what) {
        if (!releases.count(name))
            releases[name] = std::make_unique<Release>(name, count, minSize, maxSize);
        for (Program p : what)
            if (!programs[name].contains(p))
                programs[name] << p;
    };
    const bool scaleCase = cases.contains(QStringLiteral("scale"));
    if (cases.contains(QStringLiteral("big")))
        need(QStringLiteral("big"), files(486), 100 * 1024, 1024 * 1024, {Tools, Window, Headless});
    if (cases.contains(QStringLiteral("current")))
        need(QStringLiteral("current"), files(486), 100 * 1024, 1024 * 1024,
             {Md5sum, Window, Headless});
    if (cases.contains(QStringLiteral("small")) || cases.contains(QStringLiteral("window")) ||
        scaleCase)
        need(QStringLiteral("f12000"), files(12000), 1024, 3 * 1024,
             cases.contains(QStringLiteral("small")) ? QList<Program>{Tools, Window, Headless}
                                                     : QList<Program>{Window, Headless});
    if (cases.contains(QStringLiteral("rss")) || scaleCase)
        need(QStringLiteral("f20000"), files(20000), 1024, 3 * 1024, {Window, Headless});
    if (scaleCase)
        need(QStringLiteral("f2000"), files(2000), 1024, 3 * 1024, {Window, Headless});

    for (auto& [name, release] : releases) {
        if (!release->prepare(work.path(), bin, nginx))
            return 1;
        for (int round = 0; round < rounds; ++round)
            if (!release->runRound(round, programs.value(name)))
                return 1;
    }

    auto figures = [&](const QString& name, Program p) { return releases.at(name)->figures[p]; };
    auto describe = [&](const QString& name) {
        const Release& r = *releases.at(name);
        return QStringLiteral("%1 files, %2 MB").arg(r.count).arg(r.bytes / 1048576.0, 0, 'f', 1);
    };
    out << "\nmedians of " << rounds << " rounds (window: wall time minus " << WindowFixedWaits
        << " s of fixed waits); programs from " << bin << '\n';
    // The updater against a baseline: the window and the headless runner, each as a ratio.
    auto versus = [&](const QString& title, const QString& name, Program base,
                      const QString& goal) {
        const Figures b = figures(name, base);
        const Figures window = figures(name, Window);
        const Figures headless = figures(name, Headless);
        out << title << " (" << describe(name) << "): " << (base == Tools ? "tools " : "md5sum ")
            << sec(b) << "; window " << sec(window) << ", ratio "
            << ratio(window.median(), b.median()) << "; headless " << sec(headless) << ", ratio "
            << ratio(headless.median(), b.median()) << " (goal " << goal << "); peak "
            << mb(window.peakKb) << " / " << mb(headless.peakKb) << '\n';
    };
    if (cases.contains(QStringLiteral("big")))
        versus(QStringLiteral("big"), QStringLiteral("big"), Tools, QStringLiteral("<= 1.0x"));
    if (cases.contains(QStringLiteral("small")))
        versus(QStringLiteral("small"), QStringLiteral("f12000"), Tools, QStringLiteral("<= 1.5x"));
    if (cases.contains(QStringLiteral("window"))) {
        const Figures window = figures(QStringLiteral("f12000"), Window);
        const Figures headless = figures(QStringLiteral("f12000"), Headless);
        out << "window (" << describe(QStringLiteral("f12000")) << "): window " << sec(window)
            << ", headless " << sec(headless) << ", ratio "
            << ratio(window.median(), headless.median()) << " (goal <= 1.1x), peak "
            << mb(window.peakKb) << " / " << mb(headless.peakKb) << '\n';
    }
    if (cases.contains(QStringLiteral("rss"))) {
        const Figures window = figures(QStringLiteral("f20000"), Window);
        const Figures headless = figures(QStringLiteral("f20000"), Headless);
        out << "rss (" << describe(QStringLiteral("f20000")) << "): peak window "
            << mb(window.peakKb) << ", headless " << mb(headless.peakKb)
            << " (goal <= 64 MB), time " << sec(window) << " / " << sec(headless) << '\n';
    }
    if (cases.contains(QStringLiteral("current")))
        versus(QStringLiteral("current, already installed"), QStringLiteral("current"), Md5sum,
               QStringLiteral("<= 0.6x"));
    if (scaleCase) {
        out << "scale (window / headless; per file: time, peak memory; slope from the smallest):\n";
        const QStringList names{QStringLiteral("f2000"), QStringLiteral("f12000"),
                                QStringLiteral("f20000")};
        const Release& first = *releases.at(names.first());
        for (const QString& name : names) {
            const Release& r = *releases.at(name);
            QString line = QStringLiteral("  %1 files:").arg(r.count, 6);
            for (Program p : {Window, Headless}) {
                const Figures f = r.figures.value(p);
                const Figures f0 = first.figures.value(p);
                line += QStringLiteral(" %1 %2 %3, %4 ms/file, %5 KB/file")
                            .arg(p == Window ? "window" : "headless")
                            .arg(sec(f), mb(f.peakKb))
                            .arg(f.median() * 1000 / r.count, 0, 'f', 3)
                            .arg(double(f.peakKb) / r.count, 0, 'f', 2);
                if (&r != &first)
                    line +=
                        QStringLiteral(" (slope %1 ms, %2 KB)")
                            .arg((f.median() - f0.median()) * 1000 / (r.count - first.count), 0,
                                 'f', 3)
                            .arg(double(f.peakKb - f0.peakKb) / (r.count - first.count), 0, 'f', 2);
                line += QLatin1Char(';');
            }
            out << line << '\n';
        }
    }
    if (keep)
        out << "kept " << work.path() << '\n';
    return 0;
}
