#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QUdpSocket>

// A banner server played by the test on a free loopback port: records each request and answers
// it with `answer` (nothing when empty), from its own socket or, playing a stranger, from
// another one. Driven by the test's event loop.
class BannerPeer {
public:
    BannerPeer();
    quint16 port() const { return server.localPort(); }

    QUdpSocket server;
    QUdpSocket stranger;
    QList<QByteArray> requests;
    QByteArray answer;
    bool fromStranger = false;
    QHostAddress client;
    quint16 clientPort = 0;
};
