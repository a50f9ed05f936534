// List building over an installation that is entirely current: every installed file is read and
// hashed, nothing lands on any list. Printed beside md5sum over the same files (one process, and
// two processes on halves of the list), as wall-time ratios, with the peak memory of the list
// building. A second layout of few large files shows that memory does not follow file sizes.
//
// bench_listbuilding [FILES [MEGABYTES]]   (default 2000 files, 500 MB)
#include "config/configuration.h"
#include "config/installlayout.h"
#include "install/makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

#include "support/median.h"

namespace {

// Kilobytes of the process's peak resident set since the last resetPeakMemory().
long peakMemoryKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void resetPeakMemory() {
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

struct Installation {
    QStringList paths;
    quint64 bytes = 0;
};

// count files of about totalBytes in all under root/files, in 20 subdirectories, sizes spread
// from small to several times the mean; writes the product ini naming them into tempDir.
Installation makeInstallation(const QString& root, const QString& tempDir, int count,
                              quint64 totalBytes) {
    Installation inst;
    QString ini = QStringLiteral("[files]\n");
    const quint64 mean = totalBytes / quint64(count);
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 x = 12345;
    for (char& c : block) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    for (int i = 0; i < count; ++i) {
        // 0.25x .. 1.75x the mean, so that neighbours differ in size.
        const quint64 size = mean / 4 + (mean * quint64((i * 7919) % 1000)) * 3 / 2 / 1000;
        const QString rel = QStringLiteral("d%1/file%2.bin").arg(i % 20).arg(i);
        const QString path = root + QLatin1Char('/') + rel;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        QCryptographicHash md5(QCryptographicHash::Md5);
        quint64 left = size;
        // A per-file prefix makes every file distinct.
        const QByteArray prefix = rel.toUtf8();
        file.write(prefix);
        md5.addData(prefix);
        left -= std::min<quint64>(left, quint64(prefix.size()));
        quint64 offset = quint64(i) * 4099;
        while (left > 0) {
            const qsizetype start = qsizetype(offset % quint64(block.size() / 2));
            const qsizetype n = qsizetype(std::min<quint64>(left, quint64(block.size() / 2)));
            const QByteArrayView chunk(block.constData() + start, n);
            file.write(chunk.data(), chunk.size());
            md5.addData(chunk);
            left -= quint64(n);
            offset += 7;
        }
        ini += rel + QLatin1Char('=') + QString::fromLatin1(md5.result().toHex()) +
               QStringLiteral("::") + QString::number(file.size()) + QLatin1Char('\n');
        inst.bytes += quint64(file.size());
        inst.paths << path;
    }
    QFile iniFile(tempDir + QStringLiteral("/client_linux_amd64.ini"));
    if (!iniFile.open(QIODevice::WriteOnly))
        qFatal("cannot write product ini");
    iniFile.write(ini.toUtf8());
    return inst;
}

// Seconds for one list building; checks that the installation really was current.
double timeListBuilding(Configuration& configuration, long* peakKb) {
    FileSpecifications specs;
    MakeDownloadReplaceListTaskSpecification task(&configuration, specs, nullptr, 1.0);
    resetPeakMemory();
    QElapsedTimer timer;
    timer.start();
    // A real loop that sleeps until the result arrives: polling would steal a core.
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    task.execute();
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (peakKb)
        *peakKb = peakMemoryKb();
    if (task.state() != TaskSpecification::Finished || !specs.replaceList.isEmpty() ||
        !specs.downloadList.isEmpty())
        qFatal("list building did not find the installation current");
    return seconds;
}

// Seconds for md5sum over the files, split over `processes` processes running at once.
double timeMd5sum(const QStringList& paths, int processes) {
    QList<QProcess*> running;
    QElapsedTimer timer;
    timer.start();
    for (int p = 0; p < processes; ++p) {
        QStringList part;
        for (qsizetype i = p; i < paths.size(); i += processes)
            part << paths.at(i);
        auto* process = new QProcess;
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(QStringLiteral("md5sum"), part);
        running << process;
    }
    for (QProcess* process : running) {
        if (!process->waitForFinished(-1) || process->exitCode() != 0)
            qFatal("md5sum failed");
        delete process;
    }
    return timer.nsecsElapsed() / 1e9;
}

void runLayout(const char* name, int count, quint64 bytes, int rounds) {
    QTemporaryDir root;
    QTemporaryDir temp;
    InstallLayout::setAppRootPath(root.path());
    Configuration configuration;
    configuration.tempDir = temp.path();
    configuration.updateType = QStringLiteral("client_linux_amd64");
    const Installation inst = makeInstallation(root.path(), temp.path(), count, bytes);

    // Warm the page cache for both, so that every round reads from memory alike.
    timeMd5sum(inst.paths, 1);
    timeListBuilding(configuration, nullptr);

    QList<double> lists, single, pair;
    long peakKb = 0;
    for (int round = 0; round < rounds; ++round) {
        long kb = 0;
        lists << timeListBuilding(configuration, &kb);
        peakKb = std::max(peakKb, kb);
        single << timeMd5sum(inst.paths, 1);
        pair << timeMd5sum(inst.paths, 2);
    }
    const double l = median(lists), s = median(single), p = median(pair);
    std::printf("%s: %d files, %.0f MB, median of %d rounds\n", name, count, inst.bytes / 1e6,
                rounds);
    std::printf("  list building      %7.3f s  %.2fx md5sum  (peak RSS %ld kB)\n", l, l / s,
                peakKb);
    std::printf("  md5sum, 1 process  %7.3f s  1.00x\n", s);
    std::printf("  md5sum, 2 at once  %7.3f s  %.2fx md5sum\n", p, p / s);
    InstallLayout::setAppRootPath(QString());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int files = args.size() > 1 ? args.at(1).toInt() : 2000;
    const quint64 megabytes = args.size() > 2 ? args.at(2).toULongLong() : 500;
    std::printf("list building beside md5sum (%d cores)\n", QThread::idealThreadCount());
    runLayout("many files", files, megabytes * 1000000, 5);
    // Same bytes in a few large files: peak memory must not grow with the file size.
    runLayout("few large files", 5, megabytes * 1000000, 3);
    return 0;
}
