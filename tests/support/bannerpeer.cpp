#include "bannerpeer.h"

#include <QNetworkDatagram>

BannerPeer::BannerPeer() {
    server.bind(QHostAddress::LocalHost, 0);
    stranger.bind(QHostAddress::LocalHost, 0);
    QObject::connect(&server, &QUdpSocket::readyRead, [this] {
        while (server.hasPendingDatagrams()) {
            const QNetworkDatagram d = server.receiveDatagram();
            requests.append(d.data());
            client = d.senderAddress();
            clientPort = d.senderPort();
            if (!answer.isEmpty())
                (fromStranger ? stranger : server).writeDatagram(answer, client, clientPort);
        }
    });
}
