#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <QStringList>

struct Settings;
class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// A non-modal dialog that shows the change log of a client version, fetched over HTTP from the
// alpha server of the settings or else from one of their mirrors after another,
// chosen at random, until one delivers it. At most one exists at a time; it deletes itself when
// closed.
class ChangeLogViewer final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChangeLogViewer)

public:
    explicit ChangeLogViewer(QWidget* parent = nullptr);
    ~ChangeLogViewer() override;

    // Opens the dialog for version, or brings the open one to the front without reloading.
    static void showRemoteChangeLogDialog(QWidget* parent, const Settings& settings,
                                          const QString& version);
    // The open dialog, or null.
    static ChangeLogViewer* instance() { return m_instance; }

    // Starts a download unless one is in flight; an empty version keeps the stored one.
    void requestRemote(const QString& newVersion);
    // Takes one base URL out of the untried mirrors at random; empty if none is left.
    QString getRandomMirror();
    // Shows text and fits the dialog to it.
    void load(const QString& text);

private slots:
    void onRequestReadyRead();
    void onRequestFinished();
    void onRequestTimeout();

private:
    // Releases the reply; shows the body when ok, else tries the next address.
    void endRequest(bool ok);

    static ChangeLogViewer* m_instance;

    QTextEdit* changeLogTextEdit;
    QNetworkAccessManager* networkManager = nullptr;
    QNetworkReply* reply = nullptr;
    QTimer* requestTimer = nullptr;
    // The base URLs not tried yet.
    QStringList mirrorUrls;
    QString version;
    // The body so far, at most 1 MiB.
    QByteArray body;
};
