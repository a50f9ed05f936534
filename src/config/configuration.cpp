#include "config/configuration.h"

#include "config/updatechecker.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QUILLON_UPDATE_SERVER
#define QUILLON_UPDATE_SERVER "localhost"
#endif

namespace {

QString& appRootOverride() {
    static QString path;
    return path;
}

const QLatin1String TempDirPrefix("quillon_temp_");
const QLatin1String SessionMarkerName(".quillon_session");

// The marker names its own directory, so that a copy elsewhere proves nothing.
QByteArray sessionMarkerContent(const QString& dir) {
    return "quillon update session " + QFile::encodeName(dir) + '\n';
}

QSettings openSettings() {
    return QSettings(Configuration::getSettingsFilePath(), QSettings::IniFormat);
}

quint16 portSetting(const char* key, quint16 fallback) {
    QSettings settings = openSettings();
    bool ok = false;
    const int port = settings.value(QStringLiteral("update/") + QLatin1String(key)).toInt(&ok);
    return ok && port > 0 && port <= 65535 ? quint16(port) : fallback;
}

} // namespace

Configuration::Configuration(QObject* parent)
    : QObject(parent) {}

bool Configuration::parseCommandLineOptions() {
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& args) {
    getUpdateChannel();
    noUserMode = 0;

    if (args.size() >= 2 && args.at(1) == QLatin1String("--nouser")) {
        if (args.size() >= 4 && !getClientTypeVersion(args, 2))
            return false;
        // "#" stands for no name, so that a news text can still follow.
        if (args.size() >= 5 && args.at(4) != QLatin1String("#"))
            clientVersionName = args.at(4);
        if (args.size() >= 6)
            newsText = args.at(5);
        if (!getDefaultParameters())
            return false;
        noUserMode = 1;
        return true;
    }
    if (args.size() == 3)
        return getClientTypeVersion(args, 1);
    return getDefaultParameters();
}

void Configuration::getUpdateChannel() {
    QSettings settings = openSettings();
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!alpha.isEmpty()) {
        updateChannel = ChannelAlpha;
        clientVersion = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    } else {
        updateChannel = beta ? ChannelBeta : ChannelStable;
        clientVersion = 0;
    }
}

bool Configuration::getClientTypeVersion(const QStringList& args, int index) {
    if (args.size() <= index) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    updateType = args.at(index);
    if (args.size() <= index + 1) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return getClientVersionFromString(args.at(index + 1), tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString& text, const QString& errorFormat) {
    // A version already set (alphaRevno) wins over anything given later.
    if (clientVersion != 0)
        return true;
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (!ok) {
        clientVersion = 0;
        emit fatalError(errorFormat.arg(text));
        return false;
    }
    return true;
}

bool Configuration::getDefaultParameters() {
    if (updateType.isEmpty())
        updateType = getUpdateType();
    if (clientVersion != 0)
        return true;
    const QPair<QString, QString> latest = getLatestClientVersion(updateChannel, newsText);
    // Empty after Abort or when the answer has no entry for the channel; nothing more to say.
    if (latest.first.isEmpty())
        return false;
    // The server's number must be plainly positive: no sign, no blanks, not 0.
    const QString& number = latest.first;
    const bool digitsOnly = std::all_of(number.cbegin(), number.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    bool ok = false;
    const int version = number.toInt(&ok, 10);
    if (!digitsOnly || !ok || version <= 0) {
        emit fatalError(tr("Update server returned invalid version nr (%1)").arg(number));
        return false;
    }
    clientVersion = version;
    clientVersionName = latest.second;
    return true;
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel,
                                                              QString& news) {
    UpdateChecker checker(getUpdateServerHost(), getVersionQueryPort(), versionQueryTimeoutMs);
    for (;;) {
        if (checker.checkUpdate()) {
            news = checker.newsText;
            return checker.getClientVersionByChannel(channel);
        }
        // A console runner has nobody to answer the box: that counts as Abort.
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
            return {};
        QMessageBox box(QMessageBox::Critical, tr("Error"),
                        tr("Failed to query latest client\nversion from update server."),
                        QMessageBox::Retry | QMessageBox::Abort);
        box.setDefaultButton(static_cast<QPushButton*>(nullptr));
        box.setEscapeButton(QMessageBox::Abort);
        if (box.exec() != QMessageBox::Retry)
            return {};
    }
}

void Configuration::getProxyAndDownloadConcurrency() {
    QSettings settings = openSettings();
    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy")).toString();
    caCertificates = settings.value(QStringLiteral("caCertificates")).toString();
    downloadConcurrency = settings.value(QStringLiteral("streams"), 6).toInt();
    if (downloadConcurrency < 1)
        downloadConcurrency = 6;
}

bool Configuration::initalizeStart(const QString& dir) {
    if (!dir.isEmpty()) {
        tempDir = dir;
        return true;
    }
    return createTempDir();
}

bool Configuration::createTempDir() {
    // Qt gives an empty path when TMPDIR names nothing that exists.
    const QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    // mkdtemp creates the directory exclusively; the umask may take bits from its 0700.
    QByteArray name = QFile::encodeName(QDir(base).filePath(TempDirPrefix + "XXXXXX"));
    if (::mkdtemp(name.data())) {
        const QString dir = QFile::decodeName(name);
        QFile marker(QDir(dir).filePath(SessionMarkerName));
        if (::chmod(name.constData(), 0700) == 0 &&
            marker.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
            marker.write(sessionMarkerContent(dir)) > 0 && marker.flush()) {
            tempDir = dir;
            return true;
        }
        marker.remove();
        ::rmdir(name.constData());
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

QString Configuration::getAppRootPath() {
    const QString& override = appRootOverride();
    return override.isEmpty() ? QCoreApplication::applicationDirPath() : override;
}

void Configuration::setAppRootPath(const QString& path) {
    QString cleaned = path;
    while (cleaned.size() > 1 && cleaned.endsWith(QLatin1Char('/')))
        cleaned.chop(1);
    appRootOverride() = cleaned;
}

QString Configuration::getSettingsFilePath() {
    return getAppRootPath() + QLatin1String("/update.ini");
}

QString Configuration::getUpdateType() {
    return QStringLiteral("client_linux_amd64");
}

QString Configuration::getClientBinaryName() {
    return QStringLiteral("qlnclient_runscript.sh");
}

const QString& Configuration::getSpecialFileRenamePrefix() {
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

const QStringList& Configuration::getSpecialFileNames() {
    // The files the running updater holds open: its executable and the libraries it loads.
    static const QStringList names = {
        QStringLiteral("update"),
        QStringLiteral("libQtCore.so.4"),
        QStringLiteral("libQtGui.so.4"),
        QStringLiteral("libQtNetwork.so.4"),
        QStringLiteral("libqgif.so"),
        QStringLiteral("libqjpeg.so"),
        QStringLiteral("libqtaccessiblewidgets.so"),
    };
    return names;
}

bool Configuration::isSpecialFileName(const QString& name) {
    return getSpecialFileNames().contains(name, Qt::CaseSensitive);
}

QString Configuration::getUpdateServerHost() {
    QSettings settings = openSettings();
    const QString host = settings.value(QStringLiteral("update/server")).toString().trimmed();
    return host.isEmpty() ? QStringLiteral(QUILLON_UPDATE_SERVER) : host;
}

quint16 Configuration::getVersionQueryPort() {
    return portSetting("versionPort", DefaultVersionQueryPort);
}

quint16 Configuration::getBannerQueryPort() {
    return portSetting("bannerPort", DefaultBannerQueryPort);
}

bool Configuration::isPrivateDirectory(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QString Configuration::sessionMarkerPath(const QString& dir) {
    return QDir(dir).filePath(SessionMarkerName);
}

bool Configuration::isSessionDirectory(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    if (!QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path ||
        info.path() != QDir::tempPath() || !name.startsWith(TempDirPrefix) ||
        name.size() == TempDirPrefix.size())
        return false;
    for (const QChar c : QStringView(name).mid(TempDirPrefix.size()))
        if (c.unicode() > 127 || !c.isLetterOrNumber())
            return false;
    if (!isPrivateDirectory(path))
        return false;
    // The marker must be a plain file of ours, not a link planted to some other file.
    const QByteArray markerPath = QFile::encodeName(QDir(path).filePath(SessionMarkerName));
    struct stat markerInfo {};
    if (::lstat(markerPath.constData(), &markerInfo) != 0 || !S_ISREG(markerInfo.st_mode) ||
        markerInfo.st_uid != ::geteuid())
        return false;
    QFile marker(QFile::decodeName(markerPath));
    const QByteArray expected = sessionMarkerContent(path);
    return marker.open(QIODevice::ReadOnly) && marker.read(expected.size() + 1) == expected;
}
