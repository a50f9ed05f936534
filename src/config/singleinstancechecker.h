#pragma once

#include <QObject>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user. The running instance listens on a local socket
// whose name comes from its executable path and the user's home directory; a second instance
// sends it a one-word message ("#": come to the front) and ends.
class SingleInstanceChecker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstanceChecker)

public:
    // Starts listening at once. If the name cannot be taken the instance simply stays
    // unreachable for later ones.
    explicit SingleInstanceChecker(QObject* parent = nullptr);
    ~SingleInstanceChecker() override;

    // "QLNClientUpdate" + CRC-16 (lower-case hex) of the lower-cased executable path followed by
    // the home directory, without "/" and ":".
    static QString getLocalServerName();
    // True if another instance listens and has been sent message. Blocks for at most two
    // seconds; meant for start-up, before the event loop runs.
    static bool checkExistingInstance(const QString& message);

signals:
    // Once per message received.
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* server;
    // The one client being served; owned by the server until discarded.
    QLocalSocket* currentConnection = nullptr;
};
