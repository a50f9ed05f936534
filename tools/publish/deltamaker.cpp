#include "deltamaker.h"

#include "install/deltapatch.h"
#include "publishutil.h"
#include "verify/releasemanifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <zlib.h>

namespace {
constexpr QFileDevice::Permissions FILE_MODE = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadGroup | QFileDevice::ReadOther;

QString md5Of(const QString& path) {
    QFile file(path);
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !md5.addData(&file))
        throw PublishError(QStringLiteral("cannot read %1").arg(path));
    return QString::fromLatin1(md5.result().toHex());
}

void gunzip(const QString& from, const QString& to) {
    gzFile in = gzopen(QFile::encodeName(from).constData(), "rb");
    QFile out(to);
    if (!in || !out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (in)
            gzclose(in);
        throw PublishError(QStringLiteral("cannot unpack %1").arg(from));
    }
    QByteArray buffer(qsizetype(64) * 1024, Qt::Uninitialized);
    int got;
    while ((got = gzread(in, buffer.data(), unsigned(buffer.size()))) > 0) {
        if (out.write(buffer.constData(), got) != got)
            break;
    }
    if (gzclose(in) != Z_OK || got != 0 || !out.flush())
        throw PublishError(QStringLiteral("cannot unpack %1").arg(from));
}
} // namespace

DeltaBase DeltaBase::open(const QString& arg, const QString& mirrorRoot,
                          const QString& updateType) {
    bool isVersion = false;
    const int version = arg.toInt(&isVersion);
    DeltaBase base;
    base.dir = isVersion && QString::number(version) == arg ? QDir(mirrorRoot).filePath(arg) : arg;
    if (!QFileInfo(base.dir).isDir())
        throw PublishError(
            QStringLiteral("--delta-from %1: %2 is not a directory").arg(arg, base.dir));
    base.label = QFileInfo(QDir(base.dir).absolutePath()).fileName();
    const QString ini = QDir(base.dir).filePath(ReleaseManifest::productIniFileName(updateType));
    if (!QFileInfo::exists(ini))
        return base;
    QSettings settings(ini, QSettings::IniFormat);
    const ProductIni productIni(settings);
    if (!productIni.problems.isEmpty())
        throw PublishError(
            QStringLiteral("--delta-from %1: %2 is not a valid product ini").arg(arg, ini));
    for (const ProductIniLine& line : productIni.lines) {
        if (!line.isDelete)
            base.lines.insert(line.replace.pureDestFilePath(), line);
    }
    return base;
}

QString DeltaBase::plainFile(const QString& path, const QString& scratchDir, QString* md5) const {
    QString file;
    if (lines.isEmpty()) {
        file = QDir(dir).filePath(path);
        if (!QFileInfo(file).isFile())
            return {};
    } else {
        const auto it = lines.constFind(path);
        if (it == lines.cend())
            return {};
        file = QDir(dir).filePath(it->replace.section + QLatin1Char('/') + it->replace.fileName);
        if (it->replace.hasUnzip()) {
            const QString unpacked =
                QDir(scratchDir).filePath(QStringLiteral("base-%1").arg(++unpackedCount));
            gunzip(file, unpacked);
            file = unpacked;
        }
    }
    *md5 = md5Of(file);
    return file;
}

bool makeDeltaPatch(const QString& baseFile, const QString& baseMd5, const QString& newFile,
                    const QString& newMd5, qint64 limit, const QString& releaseDir,
                    DeltaPatchEntry* entry) {
    entry->baseMd5 = baseMd5;
    entry->resultMd5 = newMd5;
    entry->name = DeltaPatchEntry::nameFor(baseMd5, newMd5);
    const QString path = QDir(releaseDir).filePath(entry->name);
    if (!QFileInfo::exists(path)) {
        if (!QDir().mkpath(QFileInfo(path).path()))
            throw PublishError(QStringLiteral("cannot create %1").arg(QFileInfo(path).path()));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !out.setPermissions(FILE_MODE))
            throw PublishError(QStringLiteral("cannot write %1: %2").arg(path, out.errorString()));
        QString error;
        const DeltaPatch::Made made = DeltaPatch::make(
            baseFile, newFile, limit,
            [&](const char* data, size_t size) {
                return out.write(data, qint64(size)) == qint64(size);
            },
            &error);
        if (made != DeltaPatch::Made::Patch || !out.flush()) {
            out.close();
            out.remove();
            if (made == DeltaPatch::Made::TooLarge)
                return false;
            throw PublishError(QStringLiteral("cannot make the patch %1: %2").arg(path, error));
        }
    }
    qint64 size = -1;
    if (!sha256OfFile(path, &entry->sha256, &size))
        throw PublishError(QStringLiteral("cannot read %1").arg(path));
    entry->size = size;
    // Made for another file with the same two contents, but too large for this one.
    return size < limit;
}

bool applyDeltaPatch(const QString& baseFile, const QString& patchFile, qint64 resultSize,
                     QString* md5, QString* error) {
    QCryptographicHash hash(QCryptographicHash::Md5);
    const bool ok = DeltaPatch::apply(
        baseFile, patchFile, resultSize,
        [&](const char* data, size_t size) {
            hash.addData(QByteArrayView(data, qsizetype(size)));
            return true;
        },
        error);
    *md5 = QString::fromLatin1(hash.result().toHex());
    return ok;
}
