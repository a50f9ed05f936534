#pragma once

#include "config/settings.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// The settings of one updater run (see Settings, whose fields everyone reads directly) and how
// they are filled. One instance lives for the whole program.
//
// The construction reads "update.ini" and "mirrors.ini" of the installation, once; the command
// line and, when no version is given, the version query to the update server complete them.
class Configuration final : public QObject, public Settings {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Configuration)

public:
    explicit Configuration(QObject* parent = nullptr);

    // Fills the settings from QCoreApplication::arguments(). False after a fatalError() or an
    // aborted version query; the program then ends with exit code 1.
    bool parseCommandLineOptions();
    // The same with explicit arguments (argument 0 is the program).
    bool parseCommandLineOptions(const QStringList& args);

    // The target that the channel gives: alphaRevno on the alpha channel, else none yet.
    void getUpdateChannel();
    bool getClientTypeVersion(const QStringList& args, int index);
    // Sets clientVersion from text unless it is already set.
    bool getClientVersionFromString(const QString& text, const QString& errorFormat);
    // Completes what the command line left open, asking the update server if needed.
    bool getDefaultParameters();
    // The version query, repeated while a receiver of versionQueryFailed() asks for it;
    // (number, name), both empty on Abort or when the server's answer has no entry for the
    // channel.
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString& news);
    // Uses dir as tempDir when it is not empty (the caller has vetted it), else createTempDir().
    bool initalizeStart(const QString& dir);
    // A fresh private directory "quillon_temp_" + random suffix directly in the system temporary
    // directory (mkdtemp: exclusive, mode 0700), holding the session marker. Random names, so
    // that nobody can take all of them beforehand.
    bool createTempDir();

    static QString getUpdateType();

    // Receive time-out of each version query exchange; tests shorten it.
    int versionQueryTimeoutMs = 5000;

signals:
    // A configuration error; the main window shows it and ends the program with exit code 1.
    void fatalError(QString errorMessage);
    // An informational line for the details log.
    void message(QString message);
    // The version query failed. A receiver that asks the user sets retry and returns only then
    // (direct connection); without one, or with retry left false, the query is given up.
    void versionQueryFailed(bool* retry);
};
