#pragma once

#include "serverconfig.h"

#include <QObject>

class QUdpSocket;

// Answers the updater's two UDP queries from the current ServerConfig:
//   version port: "3\0" -> the version list, "*\0" -> the news text
//   banner port:  "\x01\x01" -> "imageUrl,clickUrl" (only when a banner is configured)
// Any other datagram is logged and left unanswered. One log line per datagram on stderr.
class UpdateServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateServer)

public:
    explicit UpdateServer(QObject* parent = nullptr);

    // Binds both sockets for config and takes over its answers. On failure nothing changes
    // (sockets already bound stay bound) and error says why.
    bool apply(const ServerConfig& config, QString* error);

    quint16 versionPort() const;
    quint16 bannerPort() const;

private:
    void onVersionReadyRead();
    void onBannerReadyRead();
    void log(const QString& peer, const QString& what) const;

    ServerConfig current;
    QUdpSocket* versionSocket = nullptr;
    QUdpSocket* bannerSocket = nullptr;
};
