// MD5 of a large file through CheckSigFunc (the check every downloaded file goes through) beside
// coreutils' md5sum on the same file: wall time as a ratio, and peak memory for two file sizes,
// which must not grow with the file. Then, on one thread, the sums of 48 files of a tenth of that
// size one after another beside all at once in the lanes of the vector unit (Md5Lanes), as list
// building hashes an installation.
//
//   bench_md5 [SIZE_MB (default 500)] [DIR (default the system temporary directory)]
//
// Each measurement runs in a child process, so that its peak resident size is its own.
#include "verify/checksignaturetaskspecification.h"
#include "verify/md5sum.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {
struct Measurement {
    double wallSeconds = 0;
    double cpuSeconds = 0;   // user + system time of the child
    double innerSeconds = 0; // as reported by the child for the hashing alone
    double innerCpuSeconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Peak resident size of a running process. wait4()'s figure would not do: a spawned child
// inherits the spawning process's high-water mark at exec.
long peakKiBOf(const QString& pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Runs a program with stdout into a pipe, sampling its peak memory until it ends.
Measurement measure(const QStringList& command) {
    std::vector<QByteArray> storage;
    for (const QString& part : command)
        storage.push_back(QFile::encodeName(part));
    std::vector<char*> argv;
    for (QByteArray& part : storage)
        argv.push_back(part.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);

    QElapsedTimer clock;
    clock.start();
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return {};
    }
    Measurement m;
    int status = 0;
    // The child's output is a line, which fits the pipe: read it after the end.
    struct rusage usage = {};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        m.peakKiB = std::max(m.peakKiB, peakKiBOf(QString::number(pid)));
        usleep(2000);
    }
    m.wallSeconds = clock.nsecsElapsed() / 1e9;
    m.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
    QByteArray output;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, got);
    close(pipeFds[0]);

    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const QList<QByteArray> words = output.trimmed().split(' ');
    if (words.size() == 4 && words[0] == "inner") {
        m.innerSeconds = words[1].toDouble();
        m.innerCpuSeconds = words[2].toDouble();
        m.peakKiB = std::max(m.peakKiB, words[3].toLong());
    }
    return m;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool makeFile(const QString& path, qint64 megabytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 seed = 12345;
    for (qint64 i = 0; i < megabytes; ++i) {
        for (auto& c : block) {
            seed = seed * 1664525u + 1013904223u;
            c = static_cast<char>(seed >> 24);
        }
        if (file.write(block) != block.size())
            return false;
    }
    return file.flush();
}

QString md5Of(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

// Child mode: one check through the worker, exactly as list building calls it.
double processCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int child(const QString& file, const QString& md5) {
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = processCpuSeconds();
    CheckSigFunc check(file, md5);
    const bool pass = check.run();
    const double seconds = clock.nsecsElapsed() / 1e9;
    std::printf("inner %.6f %.6f %ld\n", seconds, processCpuSeconds() - cpuBefore,
                peakKiBOf(QStringLiteral("self")));
    return pass ? 0 : 1;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == u"--child")
        return child(args.value(2), args.value(3));

    const qint64 megabytes = args.size() > 1 ? args[1].toLongLong() : 500;
    const QString base = args.size() > 2 ? args[2] : QDir::tempPath();
    const qint64 smallMegabytes = std::max<qint64>(1, megabytes / 10);
    if (QStorageInfo(base).bytesAvailable() < (megabytes + smallMegabytes + 64) << 20) {
        std::fprintf(stderr, "bench_md5: not enough space in %s\n", qPrintable(base));
        return 2;
    }
    QTemporaryDir dir(base + QStringLiteral("/bench_md5-XXXXXX"));
    const QString big = dir.filePath(QStringLiteral("big.bin"));
    const QString small = dir.filePath(QStringLiteral("small.bin"));
    if (!makeFile(big, megabytes) || !makeFile(small, smallMegabytes)) {
        std::fprintf(stderr, "bench_md5: cannot write the test files\n");
        return 2;
    }
    const QString bigMd5 = md5Of(big); // also brings the file into the page cache
    const QString smallMd5 = md5Of(small);
    const QString self = QCoreApplication::applicationFilePath();

    struct Series {
        std::vector<double> wall, cpu, innerWall, innerCpu;
        long peakKiB = 0;
        void add(const Measurement& m) {
            wall.push_back(m.wallSeconds);
            cpu.push_back(m.cpuSeconds);
            innerWall.push_back(m.innerSeconds);
            innerCpu.push_back(m.innerCpuSeconds);
            peakKiB = std::max(peakKiB, m.peakKiB);
        }
    } ours, theirs, oursSmall;
    constexpr int rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        // Alternate the order so that neither side always runs on a warmer cache.
        for (int side = 0; side < 2; ++side) {
            const bool checkSig = (side + round) % 2 == 0;
            const Measurement m = checkSig ? measure({self, QStringLiteral("--child"), big, bigMd5})
                                           : measure({QStringLiteral("md5sum"), big});
            if (!m.ok) {
                std::fprintf(stderr, "bench_md5: %s failed\n",
                             checkSig ? "CheckSigFunc" : "md5sum");
                return 1;
            }
            (checkSig ? ours : theirs).add(m);
        }
        oursSmall.add(measure({self, QStringLiteral("--child"), small, smallMd5}));
    }

    std::printf("MD5 of %lld MiB, median of %d runs each, file in the page cache\n",
                static_cast<long long>(megabytes), rounds);
    std::printf("                               wall       cpu     peak memory\n");
    std::printf("  md5sum                     %6.3f s  %6.3f s  %7ld KiB\n", median(theirs.wall),
                median(theirs.cpu), theirs.peakKiB);
    std::printf("  CheckSigFunc, process      %6.3f s  %6.3f s  %7ld KiB\n", median(ours.wall),
                median(ours.cpu), ours.peakKiB);
    std::printf("  CheckSigFunc, check alone  %6.3f s  %6.3f s\n", median(ours.innerWall),
                median(ours.innerCpu));
    std::printf("  CheckSigFunc, %3lld MiB file  %6.3f s  %6.3f s  %7ld KiB\n",
                static_cast<long long>(smallMegabytes), median(oursSmall.wall),
                median(oursSmall.cpu), oursSmall.peakKiB);
    std::printf("ratio CheckSigFunc / md5sum (goal <= 1.05):\n");
    std::printf("  whole process: wall %.3f, cpu %.3f\n", median(ours.wall) / median(theirs.wall),
                median(ours.cpu) / median(theirs.cpu));
    std::printf("  check alone:   wall %.3f, cpu %.3f\n",
                median(ours.innerWall) / median(theirs.wall),
                median(ours.innerCpu) / median(theirs.cpu));
    std::printf("peak memory, %lld MiB file / %lld MiB file: %.3f (independent of size: 1.0)\n",
                static_cast<long long>(megabytes), static_cast<long long>(smallMegabytes),
                oursSmall.peakKiB ? double(ours.peakKiB) / oursSmall.peakKiB : 0.0);

    // The same file under 48 names: each is opened and read on its own.
    const QStringList files(48, small);
    const auto timed = [&](int lanes) {
        std::vector<double> seconds;
        for (int round = 0; round < 3; ++round) {
            QElapsedTimer clock;
            clock.start();
            bool right = true;
            if (lanes == 1) {
                ASyncReport none;
                for (const QString& file : files)
                    right = right && CheckSigFunc::md5Of(file, none) == smallMd5;
            } else {
                qsizetype next = 0;
                Md5Lanes::hashFiles(
                    [&](QString& path, std::size_t& id) {
                        if (next == files.size())
                            return false;
                        id = std::size_t(next);
                        path = files[next++];
                        return true;
                    },
                    [&](std::size_t, const QString& sum) { right = right && sum == smallMd5; },
                    lanes);
            }
            seconds.push_back(clock.nsecsElapsed() / 1e9);
            if (!right) {
                std::fprintf(stderr, "bench_md5: a sum of %d lanes is wrong\n", lanes);
                return -1.0;
            }
        }
        return median(seconds);
    };
    const double oneByOne = timed(1);
    if (oneByOne < 0)
        return 1;
    const double megabytesHashed = double(files.size() * smallMegabytes) * 1.048576;
    std::printf("%lld files of %lld MiB on one thread, median of 3 runs (one by one / lanes):\n",
                static_cast<long long>(files.size()), static_cast<long long>(smallMegabytes));
    std::printf("  one by one  %6.3f s  %5.0f MB/s\n", oneByOne, megabytesHashed / oneByOne);
    for (const int lanes : {4, 8, 16}) {
        if (lanes > Md5Lanes::widest())
            break;
        const double seconds = timed(lanes);
        if (seconds < 0)
            return 1;
        std::printf("  %2d lanes    %6.3f s  %5.0f MB/s  %.2f\n", lanes, seconds,
                    megabytesHashed / seconds, oneByOne / seconds);
    }
    return 0;
}
