#pragma once

#include "config/updatechannel.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// The settings of one updater run and the names every subsystem shares. One instance lives for
// the whole program; everyone reads its fields directly.
//
// Settings come from the command line, from "update.ini" in the installation directory (only
// read here; the session record in its group `current` is written by the engine) and, when no
// version is given, from the version query to the update server.
class Configuration : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Configuration)

public:
    static constexpr quint16 DefaultVersionQueryPort = 17384;
    static constexpr quint16 DefaultBannerQueryPort = 2009;

    explicit Configuration(QObject* parent = nullptr);

    // Fills the settings from QCoreApplication::arguments(). False after a fatalError() or an
    // aborted version query; the program then ends with exit code 1.
    bool parseCommandLineOptions();
    // The same with explicit arguments (argument 0 is the program).
    bool parseCommandLineOptions(const QStringList& args);

    // Group `Channel` of "update.ini" into updateChannel and clientVersion.
    void getUpdateChannel();
    bool getClientTypeVersion(const QStringList& args, int index);
    // Sets clientVersion from text unless it is already set.
    bool getClientVersionFromString(const QString& text, const QString& errorFormat);
    // Completes what the command line left open, asking the update server if needed.
    bool getDefaultParameters();
    // The version query with the user's Retry/Abort box; (number, name), both empty on Abort or
    // when the server's answer has no entry for the channel.
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString& news);
    // Group `update` of "update.ini" into proxy, caCertificates and downloadConcurrency.
    void getProxyAndDownloadConcurrency();
    // Uses dir as tempDir when it is not empty (the caller has vetted it), else createTempDir().
    bool initalizeStart(const QString& dir);
    // A fresh private directory "quillon_temp_" + random suffix directly in the system temporary
    // directory (mkdtemp: exclusive, mode 0700), holding the session marker. Random names, so
    // that nobody can take all of them beforehand.
    bool createTempDir();

    // Fixed names.
    // The installation directory: the directory of the executable, unless setAppRootPath()
    // has pointed it elsewhere.
    static QString getAppRootPath();
    // Test hook: makes getAppRootPath() return path (no trailing "/"); an empty path restores
    // the executable's directory. Not used by the program itself.
    static void setAppRootPath(const QString& path);
    // "update.ini" in the installation directory.
    static QString getSettingsFilePath();
    static QString getUpdateType();
    static QString getClientBinaryName();
    static const QString& getSpecialFileRenamePrefix();
    static const QStringList& getSpecialFileNames();
    static bool isSpecialFileName(const QString& name);

    // The update server (version and banner queries): key `server` of group `update` in
    // "update.ini", else the host compiled in (CMake cache variable QUILLON_UPDATE_SERVER).
    static QString getUpdateServerHost();
    // Keys `versionPort` and `bannerPort` of group `update`, else 17384 and 2009. Lets a test or
    // a private deployment run the update server on other ports.
    static quint16 getVersionQueryPort();
    static quint16 getBannerQueryPort();
    // True if path may be adopted as a run's temporary directory: a real directory (not a
    // symbolic link), owned by the current user, not writable by group or others.
    static bool isPrivateDirectory(const QString& path);
    // True if path is a temporary directory that createTempDir() made: directly in the system
    // temporary directory, named like ours, private (see isPrivateDirectory) and holding the
    // marker written at creation. Only such a directory may be adopted or wiped.
    static bool isSessionDirectory(const QString& path);
    // Where createTempDir() puts the marker of the temporary directory dir.
    static QString sessionMarkerPath(const QString& dir);

    // 1 in unattended mode ("--nouser" and the settings completed), else 0.
    int noUserMode = 0;
    UpdateChannel updateChannel = ChannelStable;
    // The client build to update, e.g. "client_linux_amd64".
    QString updateType;
    // The target version number; 0 while unknown.
    int clientVersion = 0;
    QString clientVersionName;
    QString newsText;
    // The run's temporary directory: absolute, no trailing "/".
    QString tempDir;
    QString proxy;
    // PEM file of authorities trusted besides the system's; empty for none.
    QString caCertificates;
    // Downloads that may run at once, at least 1.
    int downloadConcurrency = 0;

    // Receive time-out of each version query exchange; tests shorten it.
    int versionQueryTimeoutMs = 5000;

signals:
    // A configuration error; the main window shows it and ends the program with exit code 1.
    void fatalError(QString errorMessage);
    // An informational line for the details log.
    void message(QString message);
};
