#include "updateserver.h"

#include "net/queryprotocol.h"

#include <QDateTime>
#include <QNetworkDatagram>
#include <QTextStream>
#include <QUdpSocket>

#include <memory>

namespace {

std::unique_ptr<QUdpSocket> bindSocket(const QHostAddress& address, quint16 port, const char* what,
                                       QString* error) {
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(address, port)) {
        *error = QStringLiteral("cannot listen on %1:%2 for the %3: %4")
                     .arg(address.toString())
                     .arg(port)
                     .arg(QLatin1String(what), socket->errorString());
        return nullptr;
    }
    return socket;
}

QString peerOf(const QNetworkDatagram& datagram) {
    return datagram.senderAddress().toString() + QLatin1Char(':') +
           QString::number(datagram.senderPort());
}

} // namespace

UpdateServer::UpdateServer(QObject* parent)
    : QObject(parent) {}

bool UpdateServer::apply(const ServerConfig& config, QString* error) {
    if (config.versionPort != 0 && config.versionPort == config.bannerPort) {
        *error = QStringLiteral("the version and banner queries need two different ports "
                                "(both are %1)")
                     .arg(config.versionPort);
        return false;
    }
    // Port 0 means any free port; a reload keeps the one already chosen.
    const bool sameAddress = versionSocket && config.address == current.address;
    const bool keepVersion = sameAddress && config.versionPort == current.versionPort;
    const bool keepBanner = sameAddress && config.bannerPort == current.bannerPort;

    std::unique_ptr<QUdpSocket> newVersion;
    std::unique_ptr<QUdpSocket> newBanner;
    if (!keepVersion &&
        !(newVersion = bindSocket(config.address, config.versionPort, "version query", error)))
        return false;
    if (!keepBanner &&
        !(newBanner = bindSocket(config.address, config.bannerPort, "banner query", error)))
        return false;

    if (newVersion) {
        delete versionSocket;
        versionSocket = newVersion.release();
        versionSocket->setParent(this);
        connect(versionSocket, &QUdpSocket::readyRead, this, &UpdateServer::onVersionReadyRead);
    }
    if (newBanner) {
        delete bannerSocket;
        bannerSocket = newBanner.release();
        bannerSocket->setParent(this);
        connect(bannerSocket, &QUdpSocket::readyRead, this, &UpdateServer::onBannerReadyRead);
    }
    current = config;
    return true;
}

quint16 UpdateServer::versionPort() const {
    return versionSocket ? versionSocket->localPort() : 0;
}

quint16 UpdateServer::bannerPort() const {
    return bannerSocket ? bannerSocket->localPort() : 0;
}

void UpdateServer::onVersionReadyRead() {
    while (versionSocket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = versionSocket->receiveDatagram();
        if (!datagram.isValid())
            continue;
        const QByteArray request = datagram.data();
        if (request == QueryProtocol::VersionRequest) {
            versionSocket->writeDatagram(datagram.makeReply(current.versionAnswer));
            log(peerOf(datagram), QStringLiteral("versions"));
        } else if (request == QueryProtocol::NewsRequest) {
            versionSocket->writeDatagram(datagram.makeReply(current.newsAnswer));
            log(peerOf(datagram), QStringLiteral("news"));
        } else {
            log(peerOf(datagram),
                QStringLiteral("unknown request of %1 bytes, ignored").arg(request.size()));
        }
    }
}

void UpdateServer::onBannerReadyRead() {
    while (bannerSocket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = bannerSocket->receiveDatagram();
        if (!datagram.isValid())
            continue;
        if (datagram.data() != QueryProtocol::BannerRequest) {
            log(peerOf(datagram),
                QStringLiteral("unknown request of %1 bytes, ignored").arg(datagram.data().size()));
        } else if (current.bannerAnswer.isEmpty()) {
            log(peerOf(datagram), QStringLiteral("banner (none configured, no answer)"));
        } else {
            bannerSocket->writeDatagram(datagram.makeReply(current.bannerAnswer));
            log(peerOf(datagram), QStringLiteral("banner"));
        }
    }
}

void UpdateServer::log(const QString& peer, const QString& what) const {
    QTextStream(stderr) << QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) << ' '
                        << peer << ' ' << what << Qt::endl;
}
