#pragma once

#include "config/updatechannel.h"

#include <QList>
#include <QString>

// One mirror of "mirrors.ini" as written there.
struct MirrorSetting {
    QString name;
    // Base address as written; empty when the mirror's group has none.
    QString url;
    // Errors the mirror may have before it is dropped, at least 1.
    int retries = 2;
};

// The settings of one updater run as a plain value, so that work on the thread pool can take a
// copy: the command line (completed by the version query), "update.ini" and "mirrors.ini".
// readFiles() is the only reader of the two files' settings; everyone else asks this value.
struct Settings {
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

    // Group `Channel` of "update.ini": a non-empty alpha address selects the alpha channel and is
    // its only mirror and change log server; alphaRevno is then the target (0: ask the server).
    QString alphaUrl;
    int alphaRevno = 0;
    // Group `update`.
    QString proxy;
    // PEM file of authorities trusted besides the system's; empty for none.
    QString caCertificates;
    // Downloads that may run at once, at least 1.
    int downloadConcurrency = 6;
    // The update server of the version and banner queries, and their ports.
    QString updateServer;
    quint16 versionQueryPort = 0;
    quint16 bannerQueryPort = 0;
    bool allowDowngrade = false;

    // "mirrors.ini": whether it exists, and its mirrors in array order.
    bool mirrorsFileFound = false;
    QList<MirrorSetting> mirrors;

    // Both files of the installation; missing files and keys give the defaults.
    void readFiles();
    // Groups `Channel` and `update` of the settings file at path.
    void readSettingsFile(const QString& path);
    // The mirrors of the mirror list at path; none when it is missing.
    static QList<MirrorSetting> readMirrorsFile(const QString& path);

    // Whether a target below the installed version may be installed: allowDowngrade, or the alpha
    // channel with an explicit alphaRevno.
    bool downgradeAllowed() const;
};
