#include "updateinidata.h"

#include "config/installlayout.h"

#include <QDir>
#include <QFile>
#include <QSettings>

QString UpdateIniData::filename() {
    return InstallLayout::settingsFilePath();
}

bool UpdateIniData::get(int* version, QString* type, QString* dir) {
    return get(version, type, dir, nullptr);
}

bool UpdateIniData::get(int* version, QString* type, QString* dir, QString* refusedDir) {
    if (refusedDir)
        refusedDir->clear();
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool ok = false;
    const int recordedVersion = settings.value(QStringLiteral("version")).toInt(&ok);
    const QString recordedDir = settings.value(QStringLiteral("dir")).toString();
    const QString recordedType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();

    if (!ok || recordedType.isEmpty() || recordedDir.isEmpty() || !QFile::exists(recordedDir))
        return false;
    if (!InstallLayout::isSessionDirectory(recordedDir)) {
        if (refusedDir)
            *refusedDir = recordedDir;
        return false;
    }
    if (version)
        *version = recordedVersion;
    if (dir)
        *dir = recordedDir;
    if (type)
        *type = recordedType;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type) {
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

bool UpdateIniData::exists() {
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    return !settings.childKeys().isEmpty();
}

void UpdateIniData::cleanup() {
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(QStringLiteral("current"));
}

bool UpdateIniData::getInstalled(QString* type, int* version, bool* manifest) {
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("installed"));
    bool ok = false;
    const int recordedVersion = settings.value(QStringLiteral("version")).toInt(&ok);
    if (!ok)
        return false;
    *type = settings.value(QStringLiteral("type")).toString();
    *version = recordedVersion;
    *manifest = settings.value(QStringLiteral("manifest")).toBool();
    return true;
}

void UpdateIniData::setInstalled(const QString& type, int version, bool manifest) {
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("installed"));
    settings.setValue(QStringLiteral("type"), type);
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("manifest"), manifest);
}
