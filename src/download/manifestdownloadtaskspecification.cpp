#include "manifestdownloadtaskspecification.h"

#include "config/configuration.h"
#include "verify/releasemanifest.h"
#include "verify/tomcryptutil.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {
constexpr int busyRetryMs = 200;
}

ManifestDownloadTaskSpecification::ManifestDownloadTaskSpecification(
    QNetworkAccessManager* networkManager, Mirrors* mirrors, Configuration* configuration,
    bool manifestRequired, bool* hadManifest, QObject* parent, double weight)
    : TaskSpecification(parent, weight)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration)
    , manifestRequired(manifestRequired)
    , hadManifest(hadManifest) {}

ManifestDownloadTaskSpecification::~ManifestDownloadTaskSpecification() {
    dropReply();
    // Otherwise the slot stays taken for the rest of the run.
    if (holdsMirror && mirrors)
        mirrors->releaseMirror(mirror.name);
}

void ManifestDownloadTaskSpecification::execute() {
    emit message(QStringLiteral("Download / check release manifest"));
    setRunning();
    fetchingSignature = false;
    startFetch();
}

void ManifestDownloadTaskSpecification::startFetch() {
    if (state() != Running)
        return;
    if (!holdsMirror) {
        const int result = mirrors->getRandomMirror(mirror);
        if (result == 1) {
            errorCancel();
            return;
        }
        if (result == 2) {
            QTimer::singleShot(busyRetryMs, this, &ManifestDownloadTaskSpecification::startFetch);
            return;
        }
        holdsMirror = true;
    }
    QString name = ReleaseManifest::fileName(configuration->updateType);
    if (fetchingSignature)
        name += QStringLiteral(".sig");
    QNetworkRequest request{QUrl(mirror.url + QLatin1Char('/') + name)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // A stalled mirror costs an error like a failed one (0 would mean no time-out at all).
    request.setTransferTimeout(qMax(1, mirror.timeout) * 1000);
    reply = networkManager->get(request);
    requestTicks = 0;
    QByteArray& into = fetchingSignature ? signature : manifest;
    into.clear();
    connect(reply, &QNetworkReply::readyRead, this, [this, &into] {
        into += reply->readAll();
        if (into.size() > sizeBound())
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            &ManifestDownloadTaskSpecification::onReplyFinished);
}

qint64 ManifestDownloadTaskSpecification::sizeBound() const {
    // A manifest is tiny and a signature exactly as long as the key: more is not a manifest, and
    // must not fill memory.
    return fetchingSignature ? qint64(compiled_in_signature_size()) : ReleaseManifest::MaxFileSize;
}

void ManifestDownloadTaskSpecification::onReplyFinished() {
    if (!reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError code = reply->error();
    QByteArray& into = fetchingSignature ? signature : manifest;
    into += reply->readAll();
    const QString url = reply->url().toString();
    const QString errorText = reply->errorString();
    dropReply();

    if (status == 404 && !fetchingSignature) {
        stop();
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
    if (status == 404) {
        // A manifest without its signature is as good as a forged one.
        refuse(tr("The release manifest of version %1 has an invalid signature.")
                   .arg(configuration->clientVersion));
        return;
    }
    if (code != QNetworkReply::NoError || status != 200 || into.size() > sizeBound()) {
        emit message(into.size() > sizeBound()
                         ? QStringLiteral("%1 sent more than %2 bytes").arg(url).arg(sizeBound())
                         : QStringLiteral("%1: %2").arg(url, errorText));
        mirrors->addMirrorError(mirror.name);
        // Both files come from the same mirror: start over on another one.
        stop();
        startFetch();
        return;
    }
    if (!fetchingSignature) {
        fetchingSignature = true;
        startFetch();
        return;
    }
    stop();
    checkManifest();
}

void ManifestDownloadTaskSpecification::checkManifest() {
    const int version = configuration->clientVersion;
    const QString iniPath =
        configuration->tempDir + QLatin1Char('/') + configuration->updateType + ".ini";
    // Small files and one RSA verification: quick enough for the GUI thread.
    bool signatureValid = false;
    try {
        RsaKey key;
        load_key(key.get(), PUBLIC_KEY, KEY_FILE_SIZE);
        signatureValid = verifyManifestSignature(key.get(), manifest, signature);
    } catch (const crypt_exception&) {
    }
    if (!signatureValid) {
        refuse(tr("The release manifest of version %1 has an invalid signature.").arg(version));
        return;
    }
    const QString path = configuration->tempDir + QLatin1Char('/') +
                         ReleaseManifest::fileName(configuration->updateType);
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(manifest) != manifest.size() ||
        !file.flush()) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(path));
        errorCancel();
        return;
    }
    file.close();

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

void ManifestDownloadTaskSpecification::refuse(const QString& reason) {
    stop();
    emit error(reason + QLatin1Char(' ') + tr("The release is refused; nothing was changed."));
    errorCancel();
}

void ManifestDownloadTaskSpecification::dropReply() {
    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        // At once: a deferred delete waits for any modal box, and the reply keeps buffering.
        reply->abort();
        reply->deleteLater();
        reply = nullptr;
    }
}

void ManifestDownloadTaskSpecification::stop() {
    dropReply();
    if (holdsMirror)
        mirrors->releaseMirror(mirror.name);
    holdsMirror = false;
    fetchingSignature = false;
}

void ManifestDownloadTaskSpecification::reset() {
    stop();
    manifest.clear();
    signature.clear();
    TaskSpecification::reset();
}

void ManifestDownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                                 quint64& speed, bool& downloading) {
    TaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    // The transfer time-out only sees silence: a mirror sending a byte now and then would hold
    // the run for ever.
    if (state() != Running || !reply || ++requestTicks <= requestTickLimit)
        return;
    emit message(QStringLiteral("file %1 too slow on mirror %2: not received within %3 seconds")
                     .arg(reply->url().fileName(), mirror.name)
                     .arg(requestTickLimit));
    mirrors->addMirrorError(mirror.name);
    stop();
    startFetch();
}

void ManifestDownloadTaskSpecification::userCanceled() {
    TaskSpecification::userCanceled();
    if (state() == Running) {
        stop();
        userCancel();
    }
}

void ManifestDownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification*) {
    stop();
    errorCancel();
}
