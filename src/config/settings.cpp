#include "config/settings.h"

#include "config/installlayout.h"
#include "net/queryprotocol.h"

#include <QFileInfo>
#include <QSettings>

#include <algorithm>

#ifndef QUILLON_UPDATE_SERVER
#define QUILLON_UPDATE_SERVER "localhost"
#endif

namespace {

quint16 portSetting(const QSettings& settings, const QString& key, quint16 fallback) {
    bool ok = false;
    const int port = settings.value(key).toInt(&ok);
    return ok && port > 0 && port <= 65535 ? quint16(port) : fallback;
}

// The trimmed, non-empty names of the array "mirrors" in array order. Only elements present in
// the file are read, so an absurd "size" costs nothing.
QStringList readMirrorNames(QSettings& settings) {
    settings.beginGroup(QStringLiteral("mirrors"));
    const qint64 size = settings.value(QStringLiteral("size")).toLongLong();
    // Element n is stored as the group "n" (1-based) within "mirrors".
    QList<qint64> indices;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        bool isNumber = false;
        const qint64 n = group.toLongLong(&isNumber);
        if (isNumber && n >= 1 && n <= size && group == QString::number(n))
            indices.append(n);
    }
    std::sort(indices.begin(), indices.end());
    QStringList names;
    for (const qint64 n : std::as_const(indices)) {
        const QString name =
            settings.value(QString::number(n) + QStringLiteral("/mirror")).toString().trimmed();
        if (!name.isEmpty())
            names.append(name);
    }
    settings.endGroup();
    return names;
}

} // namespace

void Settings::readFiles() {
    readSettingsFile(InstallLayout::settingsFilePath());
    const QString mirrorsPath = InstallLayout::mirrorsFilePath();
    mirrorsFileFound = QFileInfo::exists(mirrorsPath);
    mirrors = readMirrorsFile(mirrorsPath);
}

void Settings::readSettingsFile(const QString& path) {
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    alphaUrl = settings.value(QStringLiteral("alpha")).toString();
    alphaRevno = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    if (!alphaUrl.isEmpty())
        updateChannel = ChannelAlpha;
    else
        updateChannel =
            settings.value(QStringLiteral("beta"), false).toBool() ? ChannelBeta : ChannelStable;
    settings.endGroup();

    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy")).toString();
    caCertificates = settings.value(QStringLiteral("caCertificates")).toString();
    downloadConcurrency = settings.value(QStringLiteral("streams"), 6).toInt();
    if (downloadConcurrency < 1)
        downloadConcurrency = 6;
    updateServer = settings.value(QStringLiteral("server")).toString().trimmed();
    if (updateServer.isEmpty())
        updateServer = QStringLiteral(QUILLON_UPDATE_SERVER);
    // Other ports let a test or a private deployment run the update server elsewhere.
    versionQueryPort =
        portSetting(settings, QStringLiteral("versionPort"), QueryProtocol::VersionPort);
    bannerQueryPort =
        portSetting(settings, QStringLiteral("bannerPort"), QueryProtocol::BannerPort);
    allowDowngrade = settings.value(QStringLiteral("allowDowngrade")).toBool();
    settings.endGroup();
}

QList<MirrorSetting> Settings::readMirrorsFile(const QString& path) {
    QSettings settings(path, QSettings::IniFormat);
    QList<MirrorSetting> result;
    for (const QString& name : readMirrorNames(settings)) {
        settings.beginGroup(name);
        MirrorSetting mirror;
        mirror.name = name;
        mirror.url = settings.value(QStringLiteral("url")).toString();
        mirror.retries = static_cast<int>(settings.value(QStringLiteral("retries"), 2).toUInt());
        if (mirror.retries < 1)
            mirror.retries = 2;
        settings.endGroup();
        result.append(mirror);
    }
    return result;
}

bool Settings::downgradeAllowed() const {
    return allowDowngrade || (!alphaUrl.isEmpty() && alphaRevno != 0);
}
