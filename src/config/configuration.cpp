#include "config/configuration.h"

#include "config/updatechecker.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

#include <cerrno>
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
    if (!getClientVersionFromString(latest.first,
                                    tr("Update server returned invalid version nr (%1)")))
        return false;
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
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QLatin1String("quillon_temp_");

    for (int n = 0; n < 1000; ++n) {
        const QString candidate = base + QString::number(n);
        const QByteArray native = QFile::encodeName(candidate);
        // mkdir fails with EEXIST on any existing entry, a dangling symbolic link included.
        if (::mkdir(native.constData(), 0700) != 0)
            continue;
        // The umask may have taken bits away; the mode must be exactly 0700.
        if (::chmod(native.constData(), 0700) != 0) {
            ::rmdir(native.constData());
            continue;
        }
        tempDir = candidate;
        return true;
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
