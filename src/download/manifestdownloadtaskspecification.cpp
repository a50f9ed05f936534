#include "manifestdownloadtaskspecification.h"

#include "config/configuration.h"
#include "verify/tomcryptutil.h"

#include <QDateTime>
#include <QFile>

namespace {
QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

ManifestDownloadTaskSpecification::ManifestDownloadTaskSpecification(
    QNetworkAccessManager* networkManager, Mirrors* mirrors, Configuration* configuration,
    bool manifestRequired, bool* hadManifest, QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration)
    , manifestRequired(manifestRequired)
    , hadManifest(hadManifest) {}

void ManifestDownloadTaskSpecification::execute() {
    emit message(QStringLiteral("Download / check release manifest"));
    makeSubtasksAndStart();
}

DownloadTaskSpecification* ManifestDownloadTaskSpecification::makeDownload(const QString& name,
                                                                           qint64 sizeLimit) {
    auto* download = new DownloadTaskSpecification(networkManager, mirrors, name,
                                                   configuration->tempDir + QLatin1Char('/') + name,
                                                   -1, this, 0.5);
    download->sizeLimit = sizeLimit;
    download->requestTickLimit = requestTickLimit;
    download->notFoundEnds = true;
    download->quiet = true;
    return download;
}

void ManifestDownloadTaskSpecification::makeSubtasksAndStart() {
    // The list building takes a manifest in the temporary directory as checked: one a killed run
    // left must not stand in for a missing one.
    removeFetched();
    // A manifest is tiny and a signature exactly as long as the key: more is not a manifest, and
    // must not fill memory or disk.
    manifestDownload = makeDownload(ReleaseManifest::fileName(configuration->updateType),
                                    ReleaseManifest::MaxFileSize);
    connect(manifestDownload, &TaskSpecification::finished, this,
            &ManifestDownloadTaskSpecification::onManifestFetched, Qt::DirectConnection);
    addSubTask(manifestDownload);
    executeSubTasks();
}

void ManifestDownloadTaskSpecification::onManifestFetched() {
    if (manifestDownload->notFound)
        return;
    // Added while the manifest's end is handled, so it starts next.
    sigDownload =
        makeDownload(ReleaseManifest::fileName(configuration->updateType) + QStringLiteral(".sig"),
                     qint64(compiled_in_signature_size()));
    sigDownload->sameMirrorAs = manifestDownload;
    addSubTask(sigDownload);
}

void ManifestDownloadTaskSpecification::subtasksDone() {
    if (getStateFromSubTasks() != Finished) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    if (manifestDownload->notFound) {
        if (manifestRequired) {
            refuse(tr("Version %1 has no release manifest, but this installation was updated "
                      "from a release with one.")
                       .arg(configuration->clientVersion));
            return;
        }
        emit message(QStringLiteral("Warning: version %1 has no release manifest; it is not "
                                    "bound to its version and update type")
                         .arg(configuration->clientVersion));
        *hadManifest = false;
        finish();
        return;
    }
    if (sigDownload->notFound) {
        // A manifest without its signature is as good as a forged one.
        refuse(tr("The release manifest of version %1 has an invalid signature.")
                   .arg(configuration->clientVersion));
        return;
    }
    if (sigDownload->failed) {
        // Both files come from the same mirror: start over on another one.
        reset();
        makeSubtasksAndStart();
        return;
    }
    checkManifest();
}

void ManifestDownloadTaskSpecification::checkManifest() {
    const int version = configuration->clientVersion;
    const QString iniPath = configuration->tempDir + QLatin1Char('/') +
                            ReleaseManifest::productIniFileName(configuration->updateType);
    const QString path = configuration->tempDir + QLatin1Char('/') +
                         ReleaseManifest::fileName(configuration->updateType);
    // Small files and one RSA verification: quick enough for the GUI thread.
    bool signatureValid = false;
    try {
        RsaKey key;
        load_key(key.get(), PUBLIC_KEY, KEY_FILE_SIZE);
        signatureValid = verifyManifestSignature(key.get(), readFile(path),
                                                 readFile(path + QStringLiteral(".sig")));
    } catch (const crypt_exception&) {
    }
    if (!signatureValid) {
        refuse(tr("The release manifest of version %1 has an invalid signature.").arg(version));
        return;
    }

    ReleaseManifest m;
    QString problem;
    QByteArray iniSha256;
    qint64 iniSize = -1;
    if (!m.read(path, &problem))
        refuse(
            tr("The release manifest of version %1 is malformed (%2).").arg(version).arg(problem));
    else if (m.type != configuration->updateType)
        refuse(tr("The release manifest is for the update type %1, not %2.")
                   .arg(m.type, configuration->updateType));
    else if (m.version != version)
        refuse(tr("The release manifest is for version %1, not %2.").arg(m.version).arg(version));
    else if (!sha256OfFile(iniPath, &iniSha256, &iniSize) || iniSha256 != m.iniSha256 ||
             iniSize != m.iniSize)
        refuse(
            tr("The product ini does not match the release manifest of version %1.").arg(version));
    else if (m.expires.isValid() && m.expires <= QDateTime::currentDateTimeUtc())
        refuse(tr("The update information for version %1 is out of date: it expired on %2. "
                  "Try again later; if this persists, tell the publisher.")
                   .arg(version)
                   .arg(m.expires.toString(Qt::ISODate)));
    else {
        emit message(QStringLiteral("Release manifest of version %1 (%2) checked")
                         .arg(version)
                         .arg(m.versionName));
        *hadManifest = true;
        finish();
    }
}

void ManifestDownloadTaskSpecification::removeFetched() {
    const QString path = configuration->tempDir + QLatin1Char('/') +
                         ReleaseManifest::fileName(configuration->updateType);
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".sig"));
}

void ManifestDownloadTaskSpecification::refuse(const QString& reason) {
    removeFetched();
    emit error(reason + QLatin1Char(' ') + tr("The release is refused; nothing was changed."));
    errorCancel();
}

void ManifestDownloadTaskSpecification::onReset() {
    clearSubTasks();
    manifestDownload = nullptr;
    sigDownload = nullptr;
}
