#include "updateengine.h"

#include "config/configuration.h"
#include "config/installlayout.h"
#include "download/mirroraccessmanager.h"
#include "download/mirrors.h"
#include "download/processrandom.h"
#include "engine/maintaskspecification.h"
#include "engine/updateinidata.h"
#include "install/filereplacelisttaskspecification.h"
#include "install/posixfile.h"
#include "net/banner.h"
#include "verify/tomcryptutil.h"

#include <QAuthenticator>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <malloc.h>

UpdateEngine::UpdateEngine(Configuration& configuration, QObject* parent)
    : QObject(parent)
    , configuration(configuration)
    , timer(new QTimer(this))
    , networkAccessManager(new MirrorAccessManager(this)) {
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    // A redirect must cost the mirror, never lead the download elsewhere.
    networkAccessManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);

    if (!configuration.caCertificates.isEmpty() && !trustAuthorities(configuration.caCertificates))
        return;
    if (configuration.proxy.isEmpty()) {
        // Explicitly none: the system proxy must not apply either.
        networkAccessManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    QNetworkProxy proxy;
    if (!proxyFromSetting(configuration.proxy, proxy)) {
        // Queued: the window connects to the engine only after this constructor has returned.
        const QString text =
            QStringLiteral("'%1' is an invalid proxy specification").arg(configuration.proxy);
        QMetaObject::invokeMethod(
            this, [this, text] { emit fatalError(text); }, Qt::QueuedConnection);
        return;
    }
    networkAccessManager->setProxy(proxy);
    connect(networkAccessManager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &UpdateEngine::onProxyAuthenticationRequired);
    // A mirror's failure says only what went wrong, not that the proxy was in the way. Every
    // connection goes to the proxy, so a refused connection or an unknown host is the proxy's.
    connect(
        networkAccessManager, &QNetworkAccessManager::finished, this,
        [this, name = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port())](
            QNetworkReply* reply) {
            const QNetworkReply::NetworkError code = reply->error();
            const bool proxyFailed = code == QNetworkReply::ConnectionRefusedError ||
                                     code == QNetworkReply::HostNotFoundError ||
                                     (code >= QNetworkReply::ProxyConnectionRefusedError &&
                                      code <= QNetworkReply::UnknownProxyError);
            if (!proxyFailed || proxyFailureReported)
                return;
            proxyFailureReported = true;
            // Host and port only: the setting may hold a password.
            emit message(
                QStringLiteral("The proxy %1 cannot be used: %2").arg(name, reply->errorString()));
        });
}

void UpdateEngine::onProxyAuthenticationRequired(const QNetworkProxy& proxy,
                                                 QAuthenticator* authenticator) {
    // Qt has tried the credentials of the setting already, and asks again when these fail.
    const auto offer = [&] {
        if (proxyUser.isEmpty() ||
            (authenticator->user() == proxyUser && authenticator->password() == proxyPassword))
            return false;
        authenticator->setUser(proxyUser);
        authenticator->setPassword(proxyPassword);
        return true;
    };
    if (offer())
        return;
    const QString name = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    if (configuration.noUserMode != 1 && !proxyCredentialsAsked) {
        proxyCredentialsAsked = true;
        QString user, password;
        emit proxyCredentialsNeeded(name, &user, &password);
        if (!user.isEmpty()) {
            proxyUser = user;
            proxyPassword = password;
            if (offer())
                return;
        }
    }
    if (proxyRefusalReported)
        return;
    proxyRefusalReported = true;
    emit message(QStringLiteral("The proxy %1 wants a valid user name and password: set "
                                "proxy=http://USER:PASSWORD@%1 in the [update] section of %2")
                     .arg(name, InstallLayout::settingsFilePath()));
}

bool UpdateEngine::trustAuthorities(const QString& path) {
    const QList<QSslCertificate> authorities = QSslCertificate::fromPath(path, QSsl::Pem);
    if (authorities.isEmpty()) {
        // Going on without them would only fail later, at every private mirror.
        const QString text =
            QStringLiteral("No certificate could be read from caCertificates file '%1'").arg(path);
        QMetaObject::invokeMethod(
            this, [this, text] { emit fatalError(text); }, Qt::QueuedConnection);
        return false;
    }
    // The default configuration, so that the change log's requests trust them as well.
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(ssl);
    return true;
}

bool UpdateEngine::proxyFromSetting(const QString& setting, QNetworkProxy& proxy) {
    // Without a scheme, "localhost:3128" would read as scheme "localhost".
    const QString text = setting.trimmed();
    const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text,
                   QUrl::StrictMode);
    const int port = url.port(3128);
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty() ||
        port <= 0 || !(url.path().isEmpty() || url.path() == QLatin1String("/")) ||
        url.hasQuery() || url.hasFragment())
        return false;
    proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(port), url.userName(),
                          url.password());
    return true;
}

void UpdateEngine::prepareProcess() {
    // Every pool thread would keep an allocator arena of its own, holding on to what list
    // building freed there; two arenas serve two cores as fast.
    mallopt(M_ARENA_MAX, 2);
    // Qt's own event loop: the GLib one writes a wake-up per posted event, and a run posts a
    // dozen per file.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

void UpdateEngine::removeOldFilesAtStart() {
    // New files that a killed run had not yet renamed into place are never needed again.
    PosixFile::removeStaleSiblings(InstallLayout::getAppRootPath());
    // A recorded run that has not ended (killed, or still rolling back in the instance that holds
    // the single-instance name) may need its set-aside copies to restore the installation.
    if (UpdateIniData::exists())
        return;
    for (const QString& dir : InstallLayout::setAsideDirectories())
        removeOldFiles(dir);
}

bool UpdateEngine::recordedSession(int* version, QString* dir) {
    QString refused;
    if (UpdateIniData::get(version, nullptr, dir, &refused))
        return true;
    if (!refused.isEmpty())
        emit message(
            QStringLiteral(
                "Recorded session directory %1 was not made by the updater; left untouched")
                .arg(refused));
    return false;
}

bool UpdateEngine::initialize() {
    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }
    if (!configuration.mirrorsFileFound) {
        emit fatalError(
            QStringLiteral("%1 is missing, cannot proceed.").arg(InstallLayout::mirrorsFileName()));
        return false;
    }
    processRandom().seed(quint32(QDateTime::currentSecsSinceEpoch()));

    int version = 0;
    QString dir;
    if (recordedSession(&version, &dir)) {
        if (version == configuration.clientVersion) {
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                             .arg(version)
                             .arg(dir));
            // The record is valid, so dir and its parent exist.
            emit message(removeTempDir(dir) ? QStringLiteral("Ok")
                                            : QStringLiteral("Failed to remove directory"));
            dir.clear();
            UpdateIniData::cleanup();
        }
    }
    if (!configuration.initalizeStart(dir))
        return false;
    UpdateIniData::modify(configuration.clientVersion, configuration.tempDir,
                          configuration.updateType);

    mirrors = new Mirrors(this);
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool loaded =
        configuration.updateChannel == ChannelAlpha
            ? mirrors->initAlpha(configuration.alphaUrl, configuration.clientVersion)
            : mirrors->initDefault(configuration.mirrors, configuration.clientVersion);
    if (!loaded)
        return false;
    state = EngineReady;
    return true;
}

bool UpdateEngine::startUpdate() {
    mainTask = new MainTaskSpecification(networkAccessManager, mirrors, &configuration, this, 1.0);
    connect(mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    state = EngineUpdating;
    installationChanged = false;
    proxyFailureReported = false;
    proxyCredentialsAsked = false;
    proxyRefusalReported = false;
    timer->start(1000);
    mainTask->execute();
    return true;
}

bool UpdateEngine::busy() const {
    return state == EngineReady || state == EngineUpdating;
}

void UpdateEngine::onTimer() {
    if (state != EngineUpdating)
        return;
    quint64 downloadDone = 0, downloadTotal = 0, speed = 0;
    bool downloading = false;
    mainTask->timeTick(downloadDone, downloadTotal, speed, downloading);
    emit downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::cancelUpdate() {
    if (state == EngineUpdating)
        mainTask->userCanceled();
}

void UpdateEngine::onTaskFinished() {
    timer->stop();
    installationChanged = true;
    cleanup();
    state = EngineFinished;
    emit message(QStringLiteral("Update successfully finished"));
    mainTask->deleteLater();
    mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled() {
    timer->stop();
    // A cancel after the replacement step (while obsolete files are deleted) undoes nothing.
    const auto* replacement = mainTask->findChild<FileReplaceListTaskSpecification*>(
        QString(), Qt::FindDirectChildrenOnly);
    installationChanged = replacement && replacement->state() == TaskSpecification::Finished;
    state = EngineCanceled;
    if (mainTask->state() == TaskSpecification::UserCanceled)
        emit message(QStringLiteral("User aborted update"));
    mainTask->deleteLater();
    mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::reset() {
    state = EngineIdle;
    if (mainTask) {
        disconnect(mainTask, nullptr, this, nullptr);
        mainTask->deleteLater();
        mainTask = nullptr;
    }
}

void UpdateEngine::getBanner() {
    if (bannerReply)
        return;
    auto* banner = new Banner(this, configuration.updateServer, configuration.bannerQueryPort);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(const QString& bannerUrl, const QString& clickUrl) {
    const QUrl url(bannerUrl);
    if (!url.isValid() || bannerUrl.isEmpty())
        return;
    bannerClickUrl = clickUrl;
    bannerReply = networkAccessManager->get(QNetworkRequest(url));
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this,
            &UpdateEngine::onBannermetaDataChanged);
    // An unannounced or understated size must not let the image grow without bound.
    connect(bannerReply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > MaxBannerImageSize)
            dropBanner();
    });
}

void UpdateEngine::onBannermetaDataChanged() {
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerImageSize)
        dropBanner();
}

void UpdateEngine::dropBanner() {
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
}

void UpdateEngine::onBannerDownloadFinished() {
    const QByteArray bytes = bannerReply->readAll();
    bannerReply->deleteLater();
    bannerReply = nullptr;
    if (bytes.size() > MaxBannerImageSize)
        return;
    emit bannerFound(bytes, bannerClickUrl);
}

void UpdateEngine::cleanup() {
    emit message(QStringLiteral("Remove temporary files..."));
    int version = 0;
    QString dir;
    if (recordedSession(&version, &dir)) {
        removeTempDir(dir);
        UpdateIniData::cleanup();
    }
    emit message(QStringLiteral("Temporary files removed."));
}

bool UpdateEngine::removeTempDir(const QString& dir) {
    // The marker goes last: a run killed meanwhile leaves a directory that the next start still
    // recognises as a session's and wipes, instead of one it must leave alone for good.
    PosixFile::emptyDirectory(dir, QFileInfo(InstallLayout::sessionMarkerPath(dir)).fileName());
    QDir parentDir(dir);
    return parentDir.cdUp() && parentDir.rmdir(QFileInfo(dir).fileName());
}

void UpdateEngine::removeOldFiles(const QString& dir) {
    const QDir directory(dir);
    for (const QString& name : InstallLayout::getSpecialFileNames())
        QFile::remove(
            directory.absoluteFilePath(InstallLayout::getSpecialFileRenamePrefix() + name));
}
