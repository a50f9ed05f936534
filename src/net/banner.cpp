#include "net/banner.h"

#include <QNetworkDatagram>
#include <QTimerEvent>

Banner::Banner(QObject* parent, QString host, quint16 port, int timeoutMs)
    : QObject(parent)
    , socket(new QUdpSocket(this))
    , host(std::move(host))
    , port(port)
    , timeoutMs(timeoutMs) {
    socket->bind(QHostAddress::AnyIPv4, 0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

Banner::~Banner() {
    // The lookup runs on Qt's resolver thread and would otherwise outlive us.
    if (lookupId >= 0)
        QHostInfo::abortHostLookup(lookupId);
}

void Banner::run() {
    // The slot's name, not a member pointer: for a member pointer Qt allocates a slot object
    // that it never frees when the lookup is aborted or the receiver is gone.
    lookupId = QHostInfo::lookupHost(host, this, SLOT(onResolved(QHostInfo)));
}

void Banner::onResolved(const QHostInfo& hostInfo) {
    lookupId = -1;
    if (hostInfo.error() != QHostInfo::NoError)
        return;
    address.clear();
    for (const QHostAddress& candidate : hostInfo.addresses()) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
            address = candidate;
            break;
        }
    }
    if (address.isNull())
        return;
    sendRequest();
}

void Banner::sendRequest() {
    const QByteArray request = QueryProtocol::BannerRequest.toByteArray();
    if (socket->writeDatagram(request, address, port) != request.size()) {
        timer.stop();
        return;
    }
    timer.start(timeoutMs, this);
}

void Banner::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (tries++ < 1)
        sendRequest();
    else
        timer.stop();
}

void Banner::onReadyRead() {
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(QueryProtocol::BannerAnswerLimit);
        // Only the queried server may answer; anyone else could plant an address.
        if (!datagram.isValid() ||
            datagram.senderAddress().toIPv4Address() != address.toIPv4Address() ||
            datagram.senderPort() != port)
            continue;
        timer.stop();
        const QStringList fields = QString::fromLatin1(datagram.data()).split(QLatin1Char(','));
        if (fields.size() == 2)
            emit bannerFound(fields.at(0), fields.at(1));
        return;
    }
}

void Banner::onError(QAbstractSocket::SocketError) {
    timer.stop();
}
