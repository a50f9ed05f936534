#include "releaseverifier.h"

#include "deltamaker.h"
#include "install/productini.h"
#include "manifestwriter.h"
#include "publishutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <zlib.h>

namespace {
struct Digest {
    QByteArray md5;
    qint64 size = -1;
};

Digest digestOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!md5.addData(&file))
        return {};
    return {md5.result().toHex(), file.size()};
}

Digest unpackedDigestOf(const QString& path) {
    gzFile gz = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!gz)
        return {};
    QCryptographicHash md5(QCryptographicHash::Md5);
    QByteArray buffer(qsizetype(64) * 1024, Qt::Uninitialized);
    qint64 size = 0;
    int got;
    while ((got = gzread(gz, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
        md5.addData(QByteArrayView(buffer.constData(), got));
        size += got;
    }
    const bool ok = got == 0 && gzclose(gz) == Z_OK;
    if (!ok)
        return {};
    return {md5.result().toHex(), size};
}
} // namespace

ReleaseVerifier::ReleaseVerifier(QString dir, const RsaKey& key)
    : dir(std::move(dir))
    , key(key) {}

void ReleaseVerifier::problem(const QString& text) {
    ++problems;
    std::printf("%s\n", qUtf8Printable(text));
}

int ReleaseVerifier::run() {
    const QDir release(dir);
    const QStringList inis = release.entryList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name);
    int checked = 0;
    for (const QString& name : inis) {
        if (!release.exists(name + QStringLiteral(".sig")))
            continue;
        ++checked;
        checkIni(release.filePath(name));
    }
    if (checked == 0)
        throw PublishError(QStringLiteral("%1 holds no signed product ini (NAME.ini with "
                                          "NAME.ini.sig)")
                               .arg(dir));
    return problems == 0 ? 0 : 1;
}

bool ReleaseVerifier::checkIni(const QString& iniPath) {
    QString reason;
    if (!verifyFileSignature(iniPath, key, &reason)) {
        problem(QStringLiteral("%1: signature INVALID: %2").arg(iniPath, reason));
        return false;
    }
    const int before = problems;
    QSettings ini(iniPath, QSettings::IniFormat);
    // The updater's own rules first: it refuses the whole ini for any one of these lines.
    const ProductIni productIni(ini);
    QSet<QPair<QString, QString>> broken;
    for (const ProductIniProblem& p : productIni.problems) {
        problem(QStringLiteral("%1: [%2] %3: %4")
                    .arg(iniPath, printableName(p.section), printableName(p.key), p.reason));
        broken.insert({p.section, p.key});
    }
    int fileCount = 0;
    for (const ProductIniLine& line : productIni.lines) {
        if (line.isDelete || broken.contains({line.replace.section, line.replace.fileName}))
            continue;
        ++fileCount;
        const FileDownloadSpecification& download = line.download;
        const QString file =
            QDir(dir).filePath(download.section + QLatin1Char('/') + download.fileName);
        const Digest got = digestOf(file);
        if (got.size < 0) {
            problem(QStringLiteral("%1: missing or unreadable").arg(file));
            continue;
        }
        if (quint64(got.size) != download.size ||
            QString::fromLatin1(got.md5).compare(download.md5, Qt::CaseInsensitive) != 0) {
            problem(QStringLiteral("%1: size or MD5 differs from its line").arg(file));
            continue;
        }
        if (line.replace.hasUnzip()) {
            const Digest unpacked = unpackedDigestOf(file);
            if (unpacked.size < 0)
                problem(QStringLiteral("%1: not valid gzip data").arg(file));
            else if (quint64(unpacked.size) != line.replace.unzipSize ||
                     QString::fromLatin1(unpacked.md5)
                             .compare(line.replace.unzipMd5, Qt::CaseInsensitive) != 0)
                problem(QStringLiteral("%1: unpacked size or MD5 differs from its line").arg(file));
        }
    }
    // The directory's name is the version on a mirror; elsewhere the version is not checked.
    const QString dirName = QFileInfo(QDir(dir).absolutePath()).fileName();
    const int version = QString::number(dirName.toInt()) == dirName ? dirName.toInt() : 0;
    bool hasManifest = false;
    for (const QString& text : manifestProblems(iniPath, version, key, &hasManifest))
        problem(text);
    int patches = 0;
    if (hasManifest && problems == before)
        patches = checkPatches(iniPath, productIni);
    if (!hasManifest)
        std::printf("%s: no release manifest; updaters install it unbound to its version (add one "
                    "with quillon-publish manifest)\n",
                    qUtf8Printable(iniPath));
    if (problems == before)
        std::printf("%s: signature valid, %s%d files match%s\n", qUtf8Printable(iniPath),
                    hasManifest ? "manifest valid, " : "", fileCount,
                    patches > 0 ? qPrintable(QStringLiteral(", %1 patches apply").arg(patches))
                                : "");
    return problems == before;
}

int ReleaseVerifier::checkPatches(const QString& iniPath, const ProductIni& productIni) {
    const QFileInfo ini(iniPath);
    const QString type = ini.completeBaseName();
    ReleaseManifest manifest;
    QString error;
    if (!manifest.read(ini.dir().filePath(ReleaseManifest::fileName(type)), &error))
        return 0;
    QHash<QString, const ProductIniLine*> results;
    for (const ProductIniLine& line : productIni.lines) {
        if (!line.isDelete)
            results.insert(line.replace.pureDestFilePath(), &line);
    }
    // The bases are the files of the other releases beside this one.
    QList<DeltaBase> bases;
    const QDir release(dir);
    QDir tree(release.absolutePath());
    tree.cdUp();
    const QString self = QFileInfo(release.absolutePath()).fileName();
    for (const QString& name : tree.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (name == self ||
            !QFileInfo::exists(
                tree.filePath(name + QLatin1Char('/') + ReleaseManifest::productIniFileName(type))))
            continue;
        // A broken neighbour is its own verify's business; it only offers no bases here.
        try {
            bases.append(DeltaBase::open(tree.filePath(name), {}, type));
        } catch (const PublishError&) {
        }
    }
    QTemporaryDir scratch;
    int applied = 0;
    for (const DeltaPatchEntry& patch : std::as_const(manifest.patches)) {
        const QString file = release.filePath(patch.name);
        QByteArray sha256;
        qint64 size = -1;
        if (!sha256OfFile(file, &sha256, &size) || sha256 != patch.sha256 || size != patch.size) {
            problem(QStringLiteral("%1: missing, or its SHA-256 or size differs from the manifest")
                        .arg(file));
            continue;
        }
        const ProductIniLine* line = results.value(patch.path);
        const QString& listed = !line                      ? QString()
                                : line->replace.hasUnzip() ? line->replace.unzipMd5
                                                           : line->download.md5;
        if (listed.compare(patch.resultMd5, Qt::CaseInsensitive) != 0) {
            problem(QStringLiteral("%1: its result is not the file %2 of the product ini")
                        .arg(file, printableName(patch.path)));
            continue;
        }
        const quint64 resultSize =
            line->replace.hasUnzip() ? line->replace.unzipSize : line->download.size;
        bool found = false;
        for (const DeltaBase& base : std::as_const(bases)) {
            const ProductIniLine baseLine = base.lines.value(patch.path);
            const QString& baseMd5 =
                baseLine.replace.hasUnzip() ? baseLine.replace.unzipMd5 : baseLine.download.md5;
            if (baseLine.download.md5.isEmpty() ||
                baseMd5.compare(patch.baseMd5, Qt::CaseInsensitive) != 0)
                continue;
            found = true;
            QString md5;
            const QString baseFile = base.plainFile(patch.path, scratch.path(), &md5);
            QString result;
            if (md5 != patch.baseMd5)
                problem(QStringLiteral("%1: its base in release %2 is not the file it was made "
                                       "from")
                            .arg(file, base.label));
            else if (!applyDeltaPatch(baseFile, file, qint64(resultSize), &result, &error))
                problem(QStringLiteral("%1: does not apply to release %2: %3")
                            .arg(file, base.label, error));
            else if (result != patch.resultMd5)
                problem(QStringLiteral("%1: applied to release %2, gives another file than the "
                                       "product ini lists")
                            .arg(file, base.label));
            else
                ++applied;
            break;
        }
        if (!found)
            std::printf("%s: not applied, no release beside this one holds its base\n",
                        qUtf8Printable(file));
    }
    return applied;
}
