#pragma once

#include "net/queryprotocol.h"

#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QUdpSocket>

// Asks the banner server over UDP for the banner image's address and its click address.
// Sends 0x01 0x01 at most twice, 5 s apart; an answer "imageUrl,clickUrl" from the queried
// server emits bannerFound(). Failures end the query silently. Never reused.
class Banner final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Banner)

public:
    Banner(QObject* parent, QString host, quint16 port = QueryProtocol::BannerPort,
           int timeoutMs = 5000);
    ~Banner() override;

    // Starts the host lookup; the request goes out once the address is known.
    void run();

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

private slots:
    void onResolved(const QHostInfo& hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void sendRequest();

    QUdpSocket* socket;
    int lookupId = -1; // the host lookup in progress, -1 when none
    QBasicTimer timer;
    QHostAddress address;
    int tries = 0;
    QString host;
    quint16 port;
    int timeoutMs;
};
