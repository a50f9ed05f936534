#include "releasewriter.h"

#include "deltamaker.h"
#include "install/deltapatch.h"
#include "install/productini.h"
#include "manifestwriter.h"
#include "publishutil.h"
#include "verify/tomcryptutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <unistd.h>
#include <zlib.h>

namespace {
constexpr qint64 CHUNK = qint64(64) * 1024;
const QString DELETE_SECTION = QStringLiteral("delete");
constexpr QFileDevice::Permissions FILE_MODE = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadGroup | QFileDevice::ReadOther;
constexpr QFileDevice::Permissions DIR_MODE =
    FILE_MODE | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

void warn(const QString& text) {
    std::fprintf(stderr, "quillon-publish: warning: %s\n", qUtf8Printable(text));
}

// Files and bytes done of total, redrawn in place at most ten times a second, on a terminal only.
class Progress final {
public:
    Progress(qsizetype totalFiles, qint64 totalBytes)
        : enabled(::isatty(STDERR_FILENO) == 1)
        , totalFiles(totalFiles)
        , totalBytes(totalBytes) {
        clock.start();
    }
    ~Progress() {
        if (enabled && drawn)
            std::fputc('\n', stderr);
    }
    void update(qsizetype filesDone, qint64 bytesDone, bool force = false) {
        if (!enabled || (!force && drawn && clock.elapsed() < 100))
            return;
        clock.restart();
        drawn = true;
        std::fprintf(stderr, "\r%lld of %lld files, %.1f of %.1f MiB ",
                     static_cast<long long>(filesDone), static_cast<long long>(totalFiles),
                     bytesDone / 1048576.0, totalBytes / 1048576.0);
        std::fflush(stderr);
    }

private:
    bool enabled;
    bool drawn = false;
    qsizetype totalFiles;
    qint64 totalBytes;
    QElapsedTimer clock;
};

// Qt's directory listing silently skips names that are not valid UTF-8; count what is really
// there so that no file of the build gets lost without a word.
qsizetype realEntryCount(const QString& dir) {
    DIR* d = ::opendir(QFile::encodeName(dir).constData());
    if (!d)
        return -1;
    qsizetype count = 0;
    while (const dirent* entry = ::readdir(d))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ++count;
    ::closedir(d);
    return count;
}

void openInput(QFile& file) {
    if (!file.open(QIODevice::ReadOnly))
        throw PublishError(
            QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
}

void openOutput(QFile& file) {
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !file.setPermissions(FILE_MODE))
        throw PublishError(
            QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
}

void writeChunk(QFile& out, const char* data, qint64 size) {
    if (out.write(data, size) != size)
        throw PublishError(
            QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString()));
}

void closeOutput(QFile& out) {
    if (!out.flush())
        throw PublishError(
            QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString()));
    out.close();
}

// Reads exactly `size` bytes in chunks; a file that shrank or grew since the walk is an error,
// since its line would not describe what the mirror serves.
template <typename Consume> void readWhole(const QString& path, qint64 size, Consume consume) {
    QFile in(path);
    openInput(in);
    QByteArray buffer(CHUNK, Qt::Uninitialized);
    qint64 done = 0;
    for (;;) {
        checkInterrupted();
        const qint64 got = in.read(buffer.data(), CHUNK);
        if (got < 0)
            throw PublishError(QStringLiteral("cannot read %1: %2").arg(path, in.errorString()));
        if (got == 0)
            break;
        done += got;
        if (done > size)
            break;
        consume(buffer.constData(), got, done == size);
    }
    if (done != size)
        throw PublishError(
            QStringLiteral("%1 changed while it was being published; try again").arg(path));
}

struct Digest {
    QByteArray md5;
    qint64 size = 0;
};

Digest copyFile(const QString& from, const QString& to, qint64 size,
                const std::function<void(qint64)>& onBytes) {
    QFile out(to);
    openOutput(out);
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (size == 0)
        onBytes(0);
    readWhole(from, size, [&](const char* data, qint64 len, bool) {
        md5.addData(QByteArrayView(data, len));
        writeChunk(out, data, len);
        onBytes(len);
    });
    closeOutput(out);
    return {md5.result().toHex(), size};
}

// Gzips `from` into `to`. Gives up (returns false, `to` removed) as soon as the compressed form
// is no smaller than the original, since shipping it would only cost the installer time.
bool gzipFile(const QString& from, const QString& to, qint64 size, Digest& raw, Digest& packed,
              const std::function<void(qint64)>& onBytes) {
    z_stream zs = {};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        throw PublishError(QStringLiteral("cannot start compression for %1").arg(from));
    struct DeflateEnd {
        z_stream* zs;
        ~DeflateEnd() { deflateEnd(zs); }
    } deflateEnd{&zs};

    QFile out(to);
    openOutput(out);
    QCryptographicHash rawMd5(QCryptographicHash::Md5);
    QCryptographicHash packedMd5(QCryptographicHash::Md5);
    QByteArray outBuffer(CHUNK, Qt::Uninitialized);
    packed.size = 0;
    bool smaller = size > 0;
    // Thrown out of the read loop once compression has lost; no need to read on.
    struct NotSmaller {};

    auto feed = [&](const char* data, qint64 len, bool last) {
        rawMd5.addData(QByteArrayView(data, len));
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        zs.avail_in = static_cast<uInt>(len);
        do {
            zs.next_out = reinterpret_cast<Bytef*>(outBuffer.data());
            zs.avail_out = static_cast<uInt>(CHUNK);
            deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
            const qint64 have = CHUNK - zs.avail_out;
            packed.size += have;
            if (packed.size >= size)
                throw NotSmaller{};
            packedMd5.addData(QByteArrayView(outBuffer.constData(), have));
            writeChunk(out, outBuffer.constData(), have);
        } while (zs.avail_out == 0);
        onBytes(len);
    };
    try {
        if (smaller)
            readWhole(from, size, feed);
    } catch (const NotSmaller&) {
        smaller = false;
    }

    if (!smaller) {
        out.close();
        out.remove();
        return false;
    }
    closeOutput(out);
    raw = {rawMd5.result().toHex(), size};
    packed.md5 = packedMd5.result().toHex();
    return true;
}
} // namespace

ReleaseWriter::ReleaseWriter(ReleaseOptions options)
    : options(std::move(options)) {}

QString ReleaseWriter::releaseDir() const {
    return QDir(options.mirrorRoot).absoluteFilePath(options.version);
}

void ReleaseWriter::validateOptions() const {
    static const QRegularExpression number(QStringLiteral("^[1-9][0-9]{0,9}$"));
    if (!number.match(options.version).hasMatch() || options.version.toLongLong() > INT_MAX)
        throw PublishError(QStringLiteral("bad version number '%1': give a decimal number from 1 "
                                          "to %2 without leading zeros")
                               .arg(options.version)
                               .arg(INT_MAX));
    auto checkName = [](const QString& what, const QString& name) {
        if (name.isEmpty() || name == u"." || name == u".." || name.contains(QLatin1Char('/')) ||
            name.contains(QLatin1Char('\\')))
            throw PublishError(QStringLiteral("bad %1 '%2': give a plain name without '/' or '\\'")
                                   .arg(what, name));
    };
    checkName(QStringLiteral("update type"), options.updateType);
    checkName(QStringLiteral("section"), options.section);
    // "delete" holds obsolete files, and the ini reader folds a group "General" into the top.
    if (options.section == DELETE_SECTION ||
        options.section.compare(u"general", Qt::CaseInsensitive) == 0)
        throw PublishError(QStringLiteral("bad section '%1': that name is reserved in the product "
                                          "ini")
                               .arg(options.section));
    if (options.gzipMinSize < 0)
        throw PublishError(QStringLiteral("bad --gzip-min-size: give a number of bytes"));
    if (!options.deltaFrom.isEmpty() && options.section == u"patches")
        throw PublishError(QStringLiteral("bad section 'patches': with --delta-from, that name "
                                          "holds the patches"));

    const QFileInfo build(options.buildDir);
    if (!build.exists())
        throw PublishError(
            QStringLiteral("build directory %1 does not exist").arg(options.buildDir));
    if (!build.isDir())
        throw PublishError(
            QStringLiteral("build directory %1 is not a directory").arg(options.buildDir));
    if (!build.isReadable() || !build.isExecutable())
        throw PublishError(
            QStringLiteral("build directory %1 is not readable").arg(options.buildDir));

    for (const QString& optional : {options.previousIni, options.changelog}) {
        if (optional.isEmpty())
            continue;
        QFile file(optional);
        if (!QFileInfo(optional).isFile())
            throw PublishError(QStringLiteral("%1 is not a readable file").arg(optional));
        openInput(file);
    }
}

void ReleaseWriter::collectBuildFiles() {
    const QDir build(QFileInfo(options.buildDir).absoluteFilePath());
    const QDir::Filters filters =
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    auto checkListing = [&](const QString& dir) {
        if (QDir(dir).entryList(filters).size() != realEntryCount(dir))
            throw PublishError(
                QStringLiteral("%1 holds a name that is not valid UTF-8; rename it").arg(dir));
    };
    checkListing(build.path());
    QDirIterator it(build.path(), filters, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString path = build.relativeFilePath(info.filePath());
        if (!entryExists(info.filePath()))
            throw PublishError(QStringLiteral("cannot name %1 in UTF-8; rename it")
                                   .arg(QDir(options.buildDir).filePath(path)));
        if (info.isSymLink() && info.isDir()) {
            warn(QStringLiteral("skipping %1: a link to a directory (the updater installs files "
                                "only)")
                     .arg(path));
            continue;
        }
        if (info.isDir()) {
            checkListing(info.filePath());
            continue;
        }
        if (!info.isFile())
            throw PublishError(QStringLiteral("%1 is not a regular file (a dangling link, a "
                                              "socket, a pipe or a device); remove it")
                                   .arg(info.filePath()));
        // The ini reader takes a backslash for a group separator: the name would not come back.
        if (path.contains(QLatin1Char('\\')))
            throw PublishError(QStringLiteral("file name %1 contains a backslash, which the "
                                              "updater cannot read back; rename it")
                                   .arg(path));
        files.append({path, info.size()});
        totalBytes += info.size();
    }
    if (files.isEmpty())
        throw PublishError(
            QStringLiteral("build directory %1 contains no files").arg(options.buildDir));
    std::sort(files.begin(), files.end(),
              [](const BuildFile& a, const BuildFile& b) { return a.path < b.path; });
}

QSet<QString> ReleaseWriter::occupiedPaths() const {
    QSet<QString> paths;
    for (const BuildFile& file : files) {
        QString path = file.path;
        paths.insert(path);
        for (qsizetype slash; (slash = path.lastIndexOf(QLatin1Char('/'))) > 0;) {
            path.truncate(slash);
            paths.insert(path);
        }
    }
    return paths;
}

QStringList ReleaseWriter::obsoletePaths() const {
    if (options.previousIni.isEmpty())
        return {};
    QSettings previous(options.previousIni, QSettings::IniFormat);
    if (previous.status() != QSettings::NoError)
        throw PublishError(
            QStringLiteral("%1 is not a readable product ini").arg(options.previousIni));

    // Paths the previous release installed, and those it already deleted: a user who skips this
    // release still needs the earlier deletions.
    QSet<QString> candidates;
    const QStringList groups = previous.childGroups();
    for (const QString& group : groups) {
        previous.beginGroup(group);
        const QStringList keys = previous.allKeys();
        for (const QString& key : keys) {
            QString installed = key;
            if (group != DELETE_SECTION) {
                // An unquoted value with "," reads as a list; join restores the text.
                const QStringList fields = previous.value(key)
                                               .toStringList()
                                               .join(QLatin1Char(','))
                                               .split(QStringLiteral("::"));
                if (fields.size() != 2 && fields.size() != 5)
                    throw PublishError(QStringLiteral("%1: invalid line for %2 in section %3")
                                           .arg(options.previousIni, key, group));
                if (fields.size() == 5 && !fields[4].isEmpty())
                    installed = fields[4];
            }
            if (leavesRoot(installed))
                throw PublishError(
                    QStringLiteral("%1: path %2 in section %3 leaves the installation directory")
                        .arg(options.previousIni, installed, group));
            candidates.insert(installed);
        }
        previous.endGroup();
    }
    if (candidates.isEmpty() && groups.isEmpty())
        throw PublishError(
            QStringLiteral("%1 is not a product ini: it has no sections").arg(options.previousIni));

    // Neither a file of this build nor a directory that now holds one is obsolete.
    const QSet<QString> present = occupiedPaths();
    QStringList obsolete;
    for (const QString& path : std::as_const(candidates)) {
        if (present.contains(path))
            continue;
        if (ProductIni::isProtectedFromDeletion(path)) {
            warn(QStringLiteral("not listing %1 for deletion: the updater never deletes its own "
                                "files, the files it holds open or the start script")
                     .arg(path));
            continue;
        }
        obsolete.append(path);
    }
    std::sort(obsolete.begin(), obsolete.end());
    return obsolete;
}

void ReleaseWriter::writeFiles(const QString& sectionDir) {
    const QDir build(QFileInfo(options.buildDir).absoluteFilePath());
    const QSet<QString> names = occupiedPaths();

    Progress progress(files.size(), totalBytes);
    qint64 bytesBefore = 0;
    qsizetype filesDone = 0;
    for (const BuildFile& file : std::as_const(files)) {
        checkInterrupted();
        const QString source = build.filePath(file.path);
        const QString target = sectionDir + QLatin1Char('/') + file.path;
        if (!QDir().mkpath(QFileInfo(target).path()))
            throw PublishError(QStringLiteral("cannot create directory %1 for %2")
                                   .arg(QFileInfo(target).path(), file.path));
        qint64 fileBytes = 0;
        auto onBytes = [&](qint64 len) {
            fileBytes += len;
            progress.update(filesDone, bytesBefore + fileBytes);
        };

        Digest raw, packed;
        // Compressing "x" would clash with a file or directory "x.gz" of the build.
        const bool tryGzip =
            file.size >= options.gzipMinSize && !names.contains(file.path + QStringLiteral(".gz"));
        if (tryGzip &&
            gzipFile(source, target + QStringLiteral(".gz"), file.size, raw, packed, onBytes)) {
            lines.append(
                {file.path + QStringLiteral(".gz"), QStringLiteral("%1::%2::%3::%4::%5")
                                                        .arg(QString::fromLatin1(packed.md5))
                                                        .arg(packed.size)
                                                        .arg(QString::fromLatin1(raw.md5))
                                                        .arg(raw.size)
                                                        .arg(file.path)});
            ++compressedCount;
            mirrorBytes += packed.size;
            written.insert(file.path, {QString::fromLatin1(raw.md5), packed.size});
        } else {
            fileBytes = 0;
            raw = copyFile(source, target, file.size, onBytes);
            lines.append(
                {file.path,
                 QStringLiteral("%1::%2").arg(QString::fromLatin1(raw.md5)).arg(raw.size)});
            mirrorBytes += raw.size;
            written.insert(file.path, {QString::fromLatin1(raw.md5), raw.size});
        }
        bytesBefore += file.size;
        ++filesDone;
        progress.update(filesDone, bytesBefore, filesDone == files.size());
    }
}

void ReleaseWriter::writeProductIni(const QString& iniPath, const QStringList& deletes) const {
    {
        QSettings ini(iniPath, QSettings::IniFormat);
        ini.beginGroup(options.section);
        for (const IniLine& line : lines)
            ini.setValue(line.key, line.value);
        ini.endGroup();
        if (!deletes.isEmpty()) {
            ini.beginGroup(DELETE_SECTION);
            for (const QString& path : deletes)
                ini.setValue(path, QString());
            ini.endGroup();
        }
        ini.sync();
        if (ini.status() != QSettings::NoError)
            throw PublishError(QStringLiteral("cannot write %1").arg(iniPath));
    }
    if (!QFile::setPermissions(iniPath, FILE_MODE))
        throw PublishError(QStringLiteral("cannot set the permissions of %1").arg(iniPath));

    // The updater reads the ini with the same reader: whatever it would not get back exactly
    // (a name its escaping mangles) must stop the release here, not on users' machines.
    QSettings check(iniPath, QSettings::IniFormat);
    QStringList expectedGroups{options.section};
    if (!deletes.isEmpty())
        expectedGroups.append(DELETE_SECTION);
    QStringList groups = check.childGroups();
    groups.sort();
    expectedGroups.sort();
    if (groups != expectedGroups)
        throw PublishError(QStringLiteral("the product ini reads back with sections %1 instead of "
                                          "%2")
                               .arg(groups.join(u", "), expectedGroups.join(u", ")));
    auto verifyGroup = [&](const QString& group, const QList<IniLine>& expected) {
        check.beginGroup(group);
        const QStringList keys = check.allKeys();
        const QSet<QString> present(keys.begin(), keys.end());
        for (const IniLine& line : expected) {
            const QVariant value = check.value(line.key);
            if (!present.contains(line.key) || value.typeId() != QMetaType::QString ||
                value.toString() != line.value)
                throw PublishError(QStringLiteral("the updater could not read the name %1 back "
                                                  "from the product ini; rename it")
                                       .arg(line.key));
        }
        if (keys.size() != expected.size())
            throw PublishError(QStringLiteral("the product ini section %1 reads back with %2 "
                                              "entries instead of %3")
                                   .arg(group)
                                   .arg(keys.size())
                                   .arg(expected.size()));
        check.endGroup();
    };
    verifyGroup(options.section, lines);
    QList<IniLine> deleteLines;
    for (const QString& path : deletes)
        deleteLines.append({path, QString()});
    if (!deletes.isEmpty())
        verifyGroup(DELETE_SECTION, deleteLines);

    // The updater refuses a whole product ini for one line that breaks its rules.
    const ProductIni rules(check);
    if (!rules.problems.isEmpty()) {
        const ProductIniProblem& first = rules.problems.first();
        throw PublishError(
            QStringLiteral("the updater would refuse this release: [%1] %2: %3")
                .arg(printableName(first.section), printableName(first.key), first.reason));
    }
}

QList<DeltaPatchEntry> ReleaseWriter::makePatches(const QString& releaseDir) {
    QList<DeltaPatchEntry> patches;
    QTemporaryDir scratch;
    if (!scratch.isValid())
        throw PublishError(QStringLiteral("cannot create a temporary directory"));
    const QDir build(QFileInfo(options.buildDir).absoluteFilePath());
    for (const QString& arg : std::as_const(options.deltaFrom)) {
        const DeltaBase base = DeltaBase::open(arg, options.mirrorRoot, options.updateType);
        qint64 patchBytes = 0, wholeBytes = 0;
        int count = 0;
        for (const BuildFile& file : std::as_const(files)) {
            checkInterrupted();
            const Written& now = written[file.path];
            QString baseMd5;
            const QString old = base.plainFile(file.path, scratch.path(), &baseMd5);
            if (old.isEmpty() || baseMd5 == now.md5 || file.size > DeltaPatch::maxFileSize)
                continue;
            DeltaPatchEntry entry;
            entry.path = file.path;
            // Clearly smaller than the normal download, or not worth a request of its own.
            if (makeDeltaPatch(old, baseMd5, build.filePath(file.path), now.md5, now.download / 2,
                               releaseDir, &entry)) {
                patches.append(entry);
                ++count;
                patchBytes += entry.size;
                wholeBytes += now.download;
            }
            if (old.startsWith(scratch.path()))
                QFile::remove(old);
        }
        patchReport << QStringLiteral("patches from %1: %2 files, %3 bytes instead of %4, %5 "
                                      "bytes saved")
                           .arg(base.label)
                           .arg(count)
                           .arg(patchBytes)
                           .arg(wholeBytes)
                           .arg(wholeBytes - patchBytes);
    }
    return patches;
}

void ReleaseWriter::run() {
    validateOptions();
    const auto key = loadKeyFile(options.keyFile, true);
    if (publicKeyFile(*key) != QByteArray(reinterpret_cast<const char*>(PUBLIC_KEY), KEY_FILE_SIZE))
        warn(QStringLiteral("%1 does not match the public key compiled into this build; updaters "
                            "built with it will reject this release")
                 .arg(options.keyFile));
    collectBuildFiles();
    const QStringList deletes = obsoletePaths();

    const QString root = QFileInfo(options.mirrorRoot).absoluteFilePath();
    if (entryExists(root) && !QFileInfo(root).isDir())
        throw PublishError(QStringLiteral("mirror root %1 is not a directory").arg(root));
    if (!QDir().mkpath(root))
        throw PublishError(QStringLiteral("cannot create mirror root %1").arg(root));
    const QString target = releaseDir();
    if (entryExists(target))
        throw PublishError(QStringLiteral("%1 exists; a published release is never overwritten "
                                          "(remove it or choose another version)")
                               .arg(target));

    installInterruptHandlers();
    QTemporaryDir staging(root + QStringLiteral("/.") + options.version +
                          QStringLiteral(".partial-XXXXXX"));
    if (!staging.isValid())
        throw PublishError(
            QStringLiteral("cannot create a directory in %1: %2").arg(root, staging.errorString()));

    writeFiles(staging.filePath(options.section));
    const QString iniPath =
        staging.filePath(ReleaseManifest::productIniFileName(options.updateType));
    writeProductIni(iniPath, deletes);

    const QByteArray digest = sha1OfFile(iniPath);
    QByteArray signature(KEY_FILE_SIZE, '\0');
    unsigned long signatureLength = KEY_FILE_SIZE;
    try {
        auto* sig = reinterpret_cast<unsigned char*>(signature.data());
        const auto* hash = reinterpret_cast<const unsigned char*>(digest.constData());
        sign_hash(key->get(), hash, sig, &signatureLength);
        if (!verify_hash(key->get(), hash, sig, signatureLength))
            throw PublishError(QStringLiteral("the signature just made does not verify"));
    } catch (const crypt_exception& e) {
        throw PublishError(QStringLiteral("cannot sign %1: %2").arg(iniPath, e.what()));
    }
    signature.truncate(signatureLength);
    writeFileAtomically(iniPath + QStringLiteral(".sig"), signature, FILE_MODE, false);
    const QList<DeltaPatchEntry> patches = makePatches(staging.path());
    writeManifest(iniPath, options.version.toInt(),
                  {options.versionName, options.expiresDays, patches}, *key, false);

    if (!options.changelog.isEmpty()) {
        const QString changelog = staging.filePath(QStringLiteral("changelog_client.txt"));
        if (!QFile::copy(options.changelog, changelog) ||
            !QFile::setPermissions(changelog, FILE_MODE))
            throw PublishError(
                QStringLiteral("cannot copy %1 into the release").arg(options.changelog));
    }

    // Staging directories are private (0700); a mirror's web server must be able to read the tree.
    QDirIterator dirs(staging.path(), QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
    while (dirs.hasNext())
        QFile::setPermissions(dirs.next(), DIR_MODE);
    if (!QFile::setPermissions(staging.path(), DIR_MODE))
        throw PublishError(QStringLiteral("cannot set the permissions of %1").arg(staging.path()));

    checkInterrupted();
    QString error;
    if (!renameNoReplace(staging.path(), target, &error))
        throw PublishError(
            QStringLiteral("cannot move the release into %1: %2").arg(target, error));
    staging.setAutoRemove(false);

    std::printf("published version %s: %lld files (%d gzipped), %lld bytes on the mirror, %lld "
                "obsolete files listed, in %s\n",
                qUtf8Printable(options.version), static_cast<long long>(files.size()),
                compressedCount, static_cast<long long>(mirrorBytes),
                static_cast<long long>(deletes.size()), qUtf8Printable(target));
    for (const QString& line : std::as_const(patchReport))
        std::printf("%s\n", qUtf8Printable(line));
}
