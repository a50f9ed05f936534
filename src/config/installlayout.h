#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Every name and path of an installation and of a run's temporary directory. Nobody else builds
// these paths, so that a name is written once.
namespace InstallLayout {

// The installation directory: the directory of the executable, unless setAppRootPath() has
// pointed it elsewhere.
QString getAppRootPath();
// Test hook: makes getAppRootPath() return path (no trailing "/"); an empty path restores the
// executable's directory. Not used by the program itself.
void setAppRootPath(const QString& path);
// relative inside the installation directory.
QString filePath(const QString& relative);
// name (not empty) in dir, as QDir(dir).filePath(name) makes it when dir ends with at most one
// slash, without the cost of a QDir: a run makes several such paths for every file of a release.
QString joinPath(const QString& dir, const QString& name);

// The settings file (channel, network, and the record of a run) and the mirror list, as bare
// names for messages and as paths.
QString settingsFileName();
QString mirrorsFileName();
QString settingsFilePath();
QString mirrorsFilePath();
// The script that starts the client.
QString getClientBinaryName();
// True for the updater's own files, which no release may delete: the updater, its two ini files
// and the client's start script. path is relative and clean.
bool isUpdaterFile(const QString& path);

// The files the running updater holds open (its executable and the Qt libraries it loads), in a
// fixed order. Replacement moves them aside under the prefix instead of overwriting them.
const QString& getSpecialFileRenamePrefix();
const QStringList& getSpecialFileNames();
bool isSpecialFileName(const QString& name);
// The directories of the installation that may hold set-aside copies of the special files.
QStringList setAsideDirectories();
// A translation catalog ("update", "qt") for a locale, without the ".qm" suffix.
QString translationFile(const QString& catalog, const QString& locale);

// Template for mkdtemp of a run's temporary directory directly in the system temporary
// directory base; the marker written into a fresh one and where it goes.
QByteArray tempDirTemplate(const QString& base);
QString sessionMarkerPath(const QString& dir);
QByteArray sessionMarkerContent(const QString& dir);
// True if path may be adopted as a run's temporary directory: a real directory (not a symbolic
// link), owned by the current user, not writable by group or others.
bool isPrivateDirectory(const QString& path);
// True if path is a temporary directory that a run made: directly in the system temporary
// directory, named like ours, private (see isPrivateDirectory) and holding the marker written
// at creation. Only such a directory may be adopted or wiped.
bool isSessionDirectory(const QString& path);

} // namespace InstallLayout
