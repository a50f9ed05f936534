#pragma once

#include "ui_mainwindow.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

class Configuration;
class UpdateEngine;

// The updater's only window: target version and channel, news line, banner, progress, details
// log, download figures, and the start button whose meaning follows the run (start, restart
// after a cancel, start the client after success). Owns the update engine and the listening
// side of the single-instance guard.
class MainWindow final : public QWidget, private Ui::MainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    // config must outlive the window.
    explicit MainWindow(Configuration& config);

    // Fills the version label from the configuration; disables the start button when the run
    // starts by itself.
    void setUIToConfigSpecs();
    void setNews();

protected:
    void closeEvent(QCloseEvent* event) override;

public slots:
    // The Retry/Abort question of a failed version query; Escape answers Abort.
    void onVersionQueryFailed(bool* retry);
    void onFatalConfigError(const QString& errorMessage);
    void onFatalError(const QString& errorMessage);
    void onError(const QString& errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(const QString& text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                            bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(const QString& message);
    void onBannerFound(const QByteArray& bannerImage, const QString& clickUrl);
    // A small modal dialog; leaves user empty when the user cancels it.
    void onProxyCredentialsNeeded(const QString& proxyName, QString* user, QString* password);
    void onDetailsPressed();
    void on_changelogButton_clicked();

private:
    // Ends the event loop with exitCode, but never during a run: the run is cancelled, so that it
    // rolls back (or finishes, if already past its last step), and the loop ends after that.
    void endProgram(int exitCode);
    // Log lines and progress are shown once per turn of the event loop, in arrival order.
    void scheduleRefresh();
    void refresh();
    void showLines();

    Configuration& configuration;
    UpdateEngine* engine;
    // The engine reported a finished update: the start button starts the client.
    bool updateDone = false;
    // The user confirmed aborting a running update by closing the window.
    bool closing = false;
    // A fatal error was shown: nothing starts any more, by click or by itself.
    bool fatalShown = false;
    // The exit code waiting for the cancelled run to end; -1 while none waits.
    int pendingExitCode = -1;
    QStringList pendingLines;
    // Lines not yet in the log widget, each ended by a newline.
    QByteArray unshownLines;
    // Progress bar value not shown yet; -1 when none.
    int pendingProgress = -1;
    bool refreshPending = false;
};
