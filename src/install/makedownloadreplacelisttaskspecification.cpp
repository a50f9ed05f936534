#include "makedownloadreplacelisttaskspecification.h"

#include "config/configuration.h"
#include "config/installlayout.h"
#include "install/deltapatch.h"
#include "install/productini.h"
#include "verify/checksignaturetaskspecification.h"
#include "verify/md5sum.h"
#include "verify/releasemanifest.h"

#include <QFile>
#include <QMultiHash>

#include <QDirIterator>
#include <QFileInfo>
#include <QMutex>
#include <QSemaphore>
#include <QSet>
#include <QSettings>
#include <QThreadPool>

#include <atomic>
#include <malloc.h>
#include <memory>
#include <vector>

namespace {

// One key of the product ini, in the order the ini reader lists them. Its paths are made only
// while it is checked: kept for every file they would cost more than the lists themselves.
struct Entry {
    bool isDelete = false;
    bool installedIsLink = false;
    qint64 installedSize = -1;
    FileDownloadSpecification download;
    FileReplaceSpecification replace;
    bool mayDeleteOld = false;
    // Patches the manifest offers for this path; the one from the installed file's MD5 is
    // chosen, with the other fields of patch set beforehand.
    QList<DeltaPatchEntry> offered;
    FilePatchSpecification patch;

    // Results of the check, written by whichever pool thread checked the entry.
    bool exists = false;
    bool current = false;
    bool downloaded = false;
    bool oldExists = false;
    // The patch's result is already in the temporary directory, checked.
    bool patched = false;
};

// A file of another size cannot have the sum, so it is not read. Only the verdict counts; the
// check's messages go nowhere.
bool matches(const QString& path, const QString& md5, quint64 size) {
    const QFileInfo info(path);
    return info.isFile() && quint64(info.size()) == size && CheckSigFunc(path, md5).run();
}

// The directories below dir, relative to it, and dir itself as "". Links are not followed.
QSet<QString> directoriesBelow(const QString& dir) {
    QSet<QString> dirs{QString()};
    for (QDirIterator it(dir, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        dirs.insert(it.next().mid(dir.size() + 1));
    return dirs;
}

// Whether the directory that the relative path name would be in is one of dirs.
bool parentIn(const QSet<QString>& dirs, const QString& name) {
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    return dirs.contains(slash < 0 ? QString() : name.left(slash));
}

// The installed file whose sum the entry needs, or "" when it needs none: a file of another size
// cannot have the sum, and one the manifest offers patches for is hashed to find the patch made
// from exactly it. appRoot ends with a slash.
QString fileToHash(const Entry& entry, const QString& appRoot) {
    if (entry.isDelete)
        return QString();
    const QString installedPath = appRoot + entry.replace.destFileName(QString());
    qint64 installed = entry.installedSize;
    if (entry.installedIsLink) {
        const QFileInfo info(installedPath);
        installed = info.isFile() ? info.size() : -1;
    }
    const quint64 size = entry.replace.hasUnzip() ? entry.replace.unzipSize : entry.download.size;
    return installed >= 0 && (!entry.offered.isEmpty() || quint64(installed) == size)
               ? installedPath
               : QString();
}

// The rest of the entry's check, with the installed file's sum: empty when it was not hashed or
// could not be read. appRoot and tempDir end with a slash; tempDirs are the directories of tempDir.
void checkEntry(Entry& entry, const QString& md5, const QString& appRoot, const QString& tempDir,
                const QSet<QString>& tempDirs) {
    if (entry.isDelete) {
        entry.exists = QFileInfo::exists(appRoot + entry.replace.fileName);
        return;
    }
    const QString& expected =
        entry.replace.hasUnzip() ? entry.replace.unzipMd5 : entry.download.md5;
    entry.current = !md5.isEmpty() && md5.compare(expected, Qt::CaseInsensitive) == 0;
    for (const DeltaPatchEntry& offer : std::as_const(entry.offered)) {
        if (entry.current || md5.isEmpty() || offer.baseMd5 != md5)
            continue;
        entry.patch.name = offer.name;
        entry.patch.sha256 = offer.sha256;
        entry.patch.size = quint64(offer.size);
        break;
    }
    // A fresh run's tempDir has no subdirectories yet: no lookups for downloads of an earlier run.
    if (!entry.current && !entry.patch.name.isEmpty() && parentIn(tempDirs, entry.patch.result))
        entry.patched =
            matches(tempDir + entry.patch.result, entry.patch.resultMd5, entry.patch.resultSize);
    if (!entry.current && !entry.patched && parentIn(tempDirs, entry.replace.fileName))
        entry.downloaded =
            matches(tempDir + entry.replace.fileName, entry.download.md5, entry.download.size);
    entry.oldExists =
        entry.mayDeleteOld && QFileInfo::exists(appRoot + entry.replace.oldDestFileName());
}

// The patches of the verified manifest beside the product ini, by installed path; none when
// there is no manifest or it was made for another product ini.
QMultiHash<QString, DeltaPatchEntry> offeredPatches(const QString& manifestPath,
                                                    const QString& iniPath) {
    QMultiHash<QString, DeltaPatchEntry> offered;
    ReleaseManifest manifest;
    QString error;
    QByteArray sha256;
    qint64 size = -1;
    if (!QFileInfo::exists(manifestPath) || !manifest.read(manifestPath, &error) ||
        !sha256OfFile(iniPath, &sha256, &size) || sha256 != manifest.iniSha256 ||
        size != manifest.iniSize)
        return offered;
    for (const DeltaPatchEntry& patch : std::as_const(manifest.patches))
        offered.insert(patch.path, patch);
    return offered;
}

// The number of keys in all sections, "delete" included.
int fileCount(QSettings& settings) {
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        count += int(settings.allKeys().size());
        settings.endGroup();
    }
    return count;
}

// What the list building reads, copied on the GUI thread when the task starts.
struct ListInputs {
    QString appRoot;
    QString tempDir;
    QString updateType;
};

ASyncResult buildLists(const ListInputs& in, ASyncReport& report) {
    report.message(QStringLiteral("Compiling download and replace list"));

    const QString appRoot = in.appRoot + QLatin1Char('/');
    const QString tempDir = in.tempDir + QLatin1Char('/');
    const QString iniPath = tempDir + ReleaseManifest::productIniFileName(in.updateType);
    // Both go once the entries are made: the ini's keys cost as much as the lists.
    auto ini = std::make_unique<QSettings>(iniPath, QSettings::IniFormat);
    const int total = fileCount(*ini);
    if (total == 0) {
        report.message(QStringLiteral("No files in product ini"));
        return false;
    }

    // Every line is parsed and checked before any file is read, so that an invalid product ini
    // costs no hashing and touches nothing.
    auto productIni = std::make_unique<ProductIni>(*ini);
    productIni->checkInstallation(in.appRoot);
    if (!productIni->problems.isEmpty()) {
        const ProductIniProblem& first = productIni->problems.first();
        report.message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                           .arg(printableName(first.section)));
        report.message(QStringLiteral("%1: [%2] %3: %4")
                           .arg(QFileInfo(ini->fileName()).fileName(), printableName(first.section),
                                printableName(first.key), first.reason));
        return false;
    }
    QMultiHash<QString, DeltaPatchEntry> offered =
        offeredPatches(tempDir + ReleaseManifest::fileName(in.updateType), iniPath);
    // A patch or its result must not land where a download of the ini does.
    QSet<QString> tempNames;
    for (const ProductIniLine& line : std::as_const(productIni->lines))
        tempNames.insert(line.replace.fileName);

    std::vector<Entry> entries;
    entries.reserve(size_t(productIni->lines.size()));
    for (const ProductIniLine& line : std::as_const(productIni->lines)) {
        Entry entry;
        entry.isDelete = line.isDelete;
        entry.installedIsLink = line.installedIsLink;
        entry.installedSize = line.installedSize;
        entry.download = line.download;
        entry.replace = line.replace;
        if (!line.isDelete) {
            // Old copies of special files are left for the next start to remove.
            entry.mayDeleteOld = !entry.replace.replacesSpecialFile();
            const QString dest = entry.replace.pureDestFilePath();
            const bool gzip = entry.replace.hasUnzip();
            entry.patch.basePath = dest;
            entry.patch.result = dest;
            entry.patch.resultMd5 = gzip ? entry.replace.unzipMd5 : entry.download.md5;
            entry.patch.resultSize = gzip ? entry.replace.unzipSize : entry.download.size;
            for (const DeltaPatchEntry& offer : offered.values(dest)) {
                if (offer.resultMd5.compare(entry.patch.resultMd5, Qt::CaseInsensitive) == 0 &&
                    entry.patch.resultSize <= quint64(DeltaPatch::maxFileSize) &&
                    !tempNames.contains(offer.name) && (!gzip || !tempNames.contains(dest)))
                    entry.offered.append(offer);
            }
        }
        entries.push_back(std::move(entry));
    }
    productIni.reset();
    ini.reset();
    tempNames.clear();
    offered.clear();

    // Hashed on the pool's free threads and on this one, each taking the next entries as its
    // lanes free up, so that the threads share the entries evenly. Only one thread reports at a
    // time, so progress still reads 1/total, 2/total, ... in key order for the longest prefix of
    // checked entries, handed over in batches: one hand-over per entry cost as much as its check.
    // Helpers are started only on threads free now: waiting for queued ones could wait for ever.
    const size_t count = entries.size();
    std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[count]);
    for (size_t i = 0; i < count; ++i)
        done[i].store(false, std::memory_order_relaxed);
    size_t finished = 0, reported = 0;
    QMutex reporting;
    const auto reportFinished = [&](bool all) {
        while (finished < count && done[finished].load(std::memory_order_acquire))
            ++finished;
        if (finished > reported && (all || finished - reported >= 32)) {
            report.progressSteps(int(reported) + 1, int(finished), total);
            reported = finished;
        }
    };
    const QSet<QString> tempDirs = directoriesBelow(in.tempDir);
    const auto check = [&](size_t i, const QString& md5) {
        checkEntry(entries[i], md5, appRoot, tempDir, tempDirs);
        done[i].store(true, std::memory_order_release);
        if (reporting.tryLock()) {
            reportFinished(false);
            reporting.unlock();
        }
    };
    std::atomic<size_t> next = 0;
    const auto checkAll = [&] {
        Md5Lanes::hashFiles(
            [&](QString& path, size_t& id) {
                for (size_t i; (i = next.fetch_add(1)) < count;) {
                    path = fileToHash(entries[i], appRoot);
                    if (!path.isEmpty()) {
                        id = i;
                        return true;
                    }
                    check(i, QString());
                }
                return false;
            },
            check);
    };
    QSemaphore helpersDone;
    int helpers = 0;
    QThreadPool* pool = QThreadPool::globalInstance();
    while (size_t(helpers) + 1 < count && pool->tryStart([&] {
        checkAll();
        helpersDone.release();
    }))
        ++helpers;
    checkAll();
    helpersDone.acquire(helpers);
    // What the last entries' threads left to a report then in progress.
    reportFinished(true);

    // A name the build itself installs is never deleted as somebody's old copy. Old copies are
    // rare, so the set of names is made only when there is one.
    QSet<QString> installed;
    qsizetype replaceCount = 0, downloadCount = 0;
    for (const Entry& entry : entries) {
        if (entry.oldExists && installed.isEmpty()) {
            for (const Entry& other : entries) {
                if (!other.isDelete)
                    installed.insert(other.replace.pureDestFilePath());
            }
        }
        if (!entry.isDelete && !entry.current) {
            ++replaceCount;
            downloadCount += !entry.patched && !entry.downloaded;
        }
    }
    // Exactly the size needed: a growing list would briefly hold two copies.
    FileSpecifications lists;
    lists.replaceList.reserve(replaceCount);
    lists.downloadList.reserve(downloadCount);
    QSet<QString> onDeleteList;
    int patchCount = 0;
    quint64 patchBytes = 0, wholeBytes = 0;
    const auto addToDeleteList = [&](const QString& path) {
        if (!onDeleteList.contains(path)) {
            onDeleteList.insert(path);
            lists.deleteList.append(path);
        }
    };
    for (const Entry& entry : entries) {
        if (entry.isDelete) {
            if (entry.exists)
                addToDeleteList(entry.replace.fileName);
            continue;
        }
        // A killed run loses its undo log and delete list, so the copies it moved aside would
        // otherwise stay in the installation for good.
        const QString old = entry.replace.oldDestFileName();
        if (entry.oldExists && !installed.contains(old))
            addToDeleteList(old);
        if (entry.current)
            continue;
        const bool patch = !entry.patch.name.isEmpty() && (entry.patched || !entry.downloaded);
        FileReplaceSpecification replace = entry.replace;
        replace.oldMayExist = entry.oldExists || !entry.mayDeleteOld;
        if (patch && replace.hasUnzip())
            replace.patchResult = entry.patch.result;
        lists.replaceList.append(replace);
        if (entry.patched || entry.downloaded)
            continue;
        FileDownloadSpecification download = entry.download;
        if (patch) {
            download.patch = entry.patch;
            ++patchCount;
            patchBytes += download.patch.size;
            wholeBytes += download.size;
        }
        lists.downloadList.append(download);
    }
    if (patchCount > 0)
        report.message(QStringLiteral("%1 files come as patches: %2 bytes to download instead of "
                                      "%3, %4 bytes saved")
                           .arg(patchCount)
                           .arg(patchBytes)
                           .arg(wholeBytes)
                           .arg(wholeBytes - patchBytes));
    return {true, std::move(lists)};
}

} // namespace

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* configuration, FileSpecifications& specs, QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , configuration(configuration)
    , targetSpecs(&specs) {}

ASyncTaskSpecification::Work MakeDownloadReplaceListTaskSpecification::createWork() {
    return [in = ListInputs{InstallLayout::getAppRootPath(), configuration->tempDir,
                            configuration->updateType}](ASyncReport& report) {
        return buildLists(in, report);
    };
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok, std::any& value) {
    if (ok && state() == Running) {
        const auto& lists = std::any_cast<const FileSpecifications&>(value);
        targetSpecs->downloadList = lists.downloadList;
        targetSpecs->replaceList = lists.replaceList;
        targetSpecs->deleteList = lists.deleteList;
    }
    // What the parse freed lies in the pool threads' allocator arena, which this thread's
    // allocations for the rest of the run would not reuse: it goes back to the system.
    malloc_trim(0);
    ASyncTaskSpecification::runDone(ok, value);
}
