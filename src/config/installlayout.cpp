#include "config/installlayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString& appRootOverride() {
    static QString path;
    return path;
}

const QLatin1String UpdaterName("update");
const QLatin1String SettingsFileName("update.ini");
const QLatin1String MirrorsFileName("mirrors.ini");
const QLatin1String TempDirPrefix("quillon_temp_");
const QLatin1String SessionMarkerName(".quillon_session");

} // namespace

namespace InstallLayout {

QString getAppRootPath() {
    const QString& override = appRootOverride();
    return override.isEmpty() ? QCoreApplication::applicationDirPath() : override;
}

void setAppRootPath(const QString& path) {
    QString cleaned = path;
    while (cleaned.size() > 1 && cleaned.endsWith(QLatin1Char('/')))
        cleaned.chop(1);
    appRootOverride() = cleaned;
}

QString filePath(const QString& relative) {
    return joinPath(getAppRootPath(), relative);
}

QString joinPath(const QString& dir, const QString& name) {
    if (name.startsWith(QLatin1Char('/')))
        return name;
    if (dir.isEmpty())
        return QLatin1String("./") + name;
    qsizetype end = dir.size();
    while (end > 1 && dir.at(end - 1) == QLatin1Char('/'))
        --end;
    // Made at its exact size: lists keep such paths for every file.
    QString path;
    path.reserve(end + 1 + name.size());
    path.append(QStringView(dir).left(end));
    if (path != QLatin1String("/"))
        path.append(QLatin1Char('/'));
    path.append(name);
    return path;
}

QString settingsFileName() {
    return SettingsFileName;
}

QString mirrorsFileName() {
    return MirrorsFileName;
}

QString settingsFilePath() {
    return filePath(SettingsFileName);
}

QString mirrorsFilePath() {
    return filePath(MirrorsFileName);
}

QString getClientBinaryName() {
    return QStringLiteral("qlnclient_runscript.sh");
}

bool isUpdaterFile(const QString& path) {
    return path == UpdaterName || path == SettingsFileName || path == MirrorsFileName ||
           path == getClientBinaryName();
}

const QString& getSpecialFileRenamePrefix() {
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

const QStringList& getSpecialFileNames() {
    static const QStringList names = {
        UpdaterName,
        QStringLiteral("libQtCore.so.4"),
        QStringLiteral("libQtGui.so.4"),
        QStringLiteral("libQtNetwork.so.4"),
        QStringLiteral("libqgif.so"),
        QStringLiteral("libqjpeg.so"),
        QStringLiteral("libqtaccessiblewidgets.so"),
    };
    return names;
}

bool isSpecialFileName(const QString& name) {
    return getSpecialFileNames().contains(name, Qt::CaseSensitive);
}

QStringList setAsideDirectories() {
    const QString root = getAppRootPath();
    return {root, root + QLatin1String("/imageformats"), root + QLatin1String("/accessible")};
}

QString translationFile(const QString& catalog, const QString& locale) {
    return filePath(QLatin1String("translations/") + catalog + QLatin1Char('_') + locale);
}

QByteArray tempDirTemplate(const QString& base) {
    return QFile::encodeName(QDir(base).filePath(TempDirPrefix + QLatin1String("XXXXXX")));
}

QString sessionMarkerPath(const QString& dir) {
    return QDir(dir).filePath(SessionMarkerName);
}

// The marker names its own directory, so that a copy elsewhere proves nothing.
QByteArray sessionMarkerContent(const QString& dir) {
    return "quillon update session " + QFile::encodeName(dir) + '\n';
}

bool isPrivateDirectory(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isSessionDirectory(const QString& path) {
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
    const QByteArray markerPath = QFile::encodeName(sessionMarkerPath(path));
    struct stat markerInfo {};
    if (::lstat(markerPath.constData(), &markerInfo) != 0 || !S_ISREG(markerInfo.st_mode) ||
        markerInfo.st_uid != ::geteuid())
        return false;
    QFile marker(QFile::decodeName(markerPath));
    const QByteArray expected = sessionMarkerContent(path);
    return marker.open(QIODevice::ReadOnly) && marker.read(expected.size() + 1) == expected;
}

} // namespace InstallLayout
