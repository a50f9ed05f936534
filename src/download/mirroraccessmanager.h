#pragma once

#include <QMultiHash>
#include <QNetworkAccessManager>

class QTcpSocket;

// The network manager of the downloads. Plain-HTTP GETs without a proxy are served on this
// thread over kept-alive connections of its own; everything else (https, a proxy, credentials in
// the URL) goes through Qt's transport. Qt's transport reads every header byte with a system call
// of its own and hands each body to this thread through another one, which made it the limit of
// a release of many small files (about 0.25 ms a file on loopback, ten times what this takes).
class MirrorAccessManager : public QNetworkAccessManager {
    Q_OBJECT

public:
    explicit MirrorAccessManager(QObject* parent = nullptr);

    // An idle connection to host:port, or null; the caller owns it.
    QTcpSocket* takeIdleConnection(const QString& key);
    // A connection whose last answer ended cleanly, kept for the next request to its server.
    void keepIdleConnection(const QString& key, QTcpSocket* socket);

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private:
    QMultiHash<QString, QTcpSocket*> idleConnections;
};
