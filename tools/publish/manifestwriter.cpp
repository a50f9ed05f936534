#include "manifestwriter.h"

#include "publishutil.h"
#include "verify/releasemanifest.h"
#include "verify/tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

namespace {
constexpr QFileDevice::Permissions FILE_MODE = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadGroup | QFileDevice::ReadOther;

QString manifestPath(const QString& iniPath) {
    const QFileInfo ini(iniPath);
    return ini.dir().filePath(ReleaseManifest::fileName(ini.completeBaseName()));
}

QByteArray readSmallFile(const QString& path, qint64 limit) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PublishError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return file.read(limit + 1);
}
} // namespace

void writeManifest(const QString& iniPath, int version, const ManifestOptions& options,
                   const RsaKey& key, bool overwrite) {
    const QString path = manifestPath(iniPath);
    ReleaseManifest manifest;
    manifest.type = QFileInfo(iniPath).completeBaseName();
    manifest.version = version;
    manifest.versionName = options.versionName;
    manifest.patches = options.patches;
    if (!sha256OfFile(iniPath, &manifest.iniSha256, &manifest.iniSize))
        throw PublishError(QStringLiteral("cannot read %1").arg(iniPath));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    manifest.published = now.addMSecs(-now.time().msec());
    if (options.expiresDays > 0)
        manifest.expires = manifest.published.addDays(options.expiresDays);

    // QSettings merges into an existing file, so the text is made in a fresh place first.
    QTemporaryDir scratch;
    const QString draft = scratch.filePath(QStringLiteral("manifest"));
    if (!scratch.isValid() || !manifest.write(draft))
        throw PublishError(QStringLiteral("cannot write the manifest for %1").arg(iniPath));
    const QByteArray text = readSmallFile(draft, ReleaseManifest::MaxFileSize);
    if (text.size() > ReleaseManifest::MaxFileSize)
        throw PublishError(QStringLiteral("the manifest for %1 is larger than %2 bytes; shorten "
                                          "the version name or make patches from fewer versions")
                               .arg(iniPath)
                               .arg(ReleaseManifest::MaxFileSize));

    // The bound of updaters that came before patch lists.
    if (text.size() > qsizetype(64) * 1024)
        std::fprintf(stderr,
                     "quillon-publish: warning: the manifest for %s is %lld bytes; updaters older "
                     "than delta patches refuse manifests above 65536 bytes and cannot install "
                     "this release (publish fewer --delta-from versions for them)\n",
                     qUtf8Printable(iniPath), static_cast<long long>(text.size()));
    const QByteArray digest = QCryptographicHash::hash(text, QCryptographicHash::Sha256);
    QByteArray signature(KEY_FILE_SIZE, '\0');
    unsigned long length = KEY_FILE_SIZE;
    try {
        sign_sha256(key.get(), reinterpret_cast<const unsigned char*>(digest.constData()),
                    reinterpret_cast<unsigned char*>(signature.data()), &length);
    } catch (const crypt_exception& e) {
        throw PublishError(QStringLiteral("cannot sign %1: %2").arg(path, e.what()));
    }
    signature.truncate(length);
    if (!verifyManifestSignature(key.get(), text, signature))
        throw PublishError(QStringLiteral("the signature just made does not verify"));
    // Two files cannot be replaced at once; the gap between them is two renames.
    writeFileAtomically(path + QStringLiteral(".sig"), signature, FILE_MODE, overwrite);
    writeFileAtomically(path, text, FILE_MODE, overwrite);
}

QStringList manifestProblems(const QString& iniPath, int version, const RsaKey& key,
                             bool* present) {
    const QString path = manifestPath(iniPath);
    *present = entryExists(path);
    if (!*present)
        return {};
    const QByteArray text = readSmallFile(path, ReleaseManifest::MaxFileSize);
    if (text.size() > ReleaseManifest::MaxFileSize)
        return {
            QStringLiteral("%1: larger than %2 bytes").arg(path).arg(ReleaseManifest::MaxFileSize)};
    if (!QFileInfo(path + QStringLiteral(".sig")).isFile())
        return {QStringLiteral("%1: signature file missing").arg(path)};
    const QByteArray signature = readSmallFile(path + QStringLiteral(".sig"), KEY_FILE_SIZE);
    if (!verifyManifestSignature(key.get(), text, signature))
        return {QStringLiteral("%1: signature INVALID").arg(path)};

    ReleaseManifest manifest;
    QString error;
    if (!manifest.read(path, &error))
        return {QStringLiteral("%1: malformed (%2)").arg(path, error)};
    QStringList problems;
    const QString type = QFileInfo(iniPath).completeBaseName();
    if (manifest.type != type)
        problems
            << QStringLiteral("%1: names update type %2, not %3").arg(path, manifest.type, type);
    if (version != 0 && manifest.version != version)
        problems << QStringLiteral("%1: names version %2, not %3")
                        .arg(path)
                        .arg(manifest.version)
                        .arg(version);
    QByteArray sha256;
    qint64 size = -1;
    if (!sha256OfFile(iniPath, &sha256, &size) || sha256 != manifest.iniSha256 ||
        size != manifest.iniSize)
        problems << QStringLiteral("%1: does not match %2").arg(path, iniPath);
    if (manifest.expires.isValid() && manifest.expires <= QDateTime::currentDateTimeUtc())
        problems << QStringLiteral("%1: expired on %2; renew it with quillon-publish manifest")
                        .arg(path, manifest.expires.toString(Qt::ISODate));
    return problems;
}
