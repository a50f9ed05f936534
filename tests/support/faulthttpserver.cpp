#include "faulthttpserver.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>

struct FaultHttpServer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray request;
    QString path;
    bool answered = false;
    FaultRule rule;
    QByteArray body;
    // Body bytes handed to the socket so far.
    qint64 sent = 0;
    QTimer* drip = nullptr;
};

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// Keeps the socket's write buffer small while streaming endless or large bodies.
constexpr qint64 highWater = 256 * 1024;

} // namespace

FaultHttpServer::FaultHttpServer(const QString& root, QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this))
    , root(root) {
    connect(server, &QTcpServer::newConnection, this, &FaultHttpServer::onNewConnection);
}

FaultHttpServer::~FaultHttpServer() {
    const QList<Connection*> open = connections;
    for (Connection* c : open)
        drop(c);
}

bool FaultHttpServer::listen() {
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 FaultHttpServer::port() const {
    return server->serverPort();
}

QString FaultHttpServer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void FaultHttpServer::setRoot(const QString& dir) {
    root = dir;
}

void FaultHttpServer::setRule(const QString& path, const FaultRule& rule) {
    rules.insert(path, rule);
}

void FaultHttpServer::setKeepAlive(bool on) {
    keepAlive = on;
}

void FaultHttpServer::setDelay(int ms) {
    delayMs = ms;
}

void FaultHttpServer::closeConnections(bool reset) {
    const QList<Connection*> open = connections;
    for (Connection* c : open) {
        if (reset) {
            // The client's next write fails at once.
            const linger hard{1, 0};
            ::setsockopt(int(c->socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                         sizeof hard);
            c->socket->abort();
        } else {
            // The client sees the end only when it next reads.
            c->socket->disconnectFromHost();
        }
        drop(c);
    }
}

void FaultHttpServer::clearRules() {
    rules.clear();
}

int FaultHttpServer::requestCount(const QString& path) const {
    return counts.value(path);
}

qint64 FaultHttpServer::bytesSent(const QString& path) const {
    return sentBytes.value(path);
}

int FaultHttpServer::totalRequests() const {
    return log.size();
}

QList<QByteArray> FaultHttpServer::ranges(const QString& path) const {
    return rangeHeaders.value(path);
}

int FaultHttpServer::connectionCount() const {
    return accepted;
}

QStringList FaultHttpServer::requestLog() const {
    return log;
}

int FaultHttpServer::openResponses() const {
    return int(std::count_if(connections.cbegin(), connections.cend(),
                             [](const Connection* c) { return c->answered; }));
}

void FaultHttpServer::onNewConnection() {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        ++accepted;
        // As nginx does: a small head and body must not wait for the client's delayed ACK.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto* c = new Connection;
        c->socket = socket;
        connections.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { drop(c); });
    }
}

void FaultHttpServer::onReadyRead(Connection* c) {
    c->request += c->socket->readAll();
    if (c->answered)
        return;
    const qsizetype end = c->request.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    c->answered = true;
    const QByteArray head = c->request.left(end);
    // What follows belongs to the next request on a kept-alive connection.
    c->request.remove(0, end + 4);
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    QString path;
    if (requestLine.size() >= 2)
        path = QUrl::fromPercentEncoding(requestLine.at(1).split('?').first());
    QByteArray range;
    for (const QByteArray& line : head.split('\n')) {
        if (line.toLower().startsWith("range:"))
            range = line.mid(6).trimmed();
    }
    respond(c, path, range);
}

void FaultHttpServer::respond(Connection* c, const QString& path, const QByteArray& range) {
    const int count = ++counts[path];
    log.append(path);
    rangeHeaders[path].append(range);
    emit requestReceived(path);

    FaultRule rule;
    const auto found = rules.constFind(path);
    if (found != rules.constEnd() && (found->times < 0 || count <= found->times))
        rule = *found;

    int status = rule.status;
    QByteArray body;
    if (rule.body) {
        body = *rule.body;
    } else {
        QFile file(root + path);
        if (!root.isEmpty() && !path.contains(QLatin1String("..")) &&
            file.open(QIODevice::ReadOnly)) {
            body = file.readAll();
        } else if (status == 200) {
            status = 404;
            body = "not found\n";
        }
    }
    if (rule.corruptAt >= 0 && rule.corruptAt < body.size())
        body[rule.corruptAt] = char(~body.at(rule.corruptAt));
    QByteArray contentRange;
    if (range.startsWith("bytes=") && range.endsWith('-') && status == 200 && !rule.ignoreRange) {
        const qint64 first = range.mid(6).chopped(1).toLongLong();
        if (first > 0 && first < body.size()) {
            status = 206;
            contentRange = "bytes " + QByteArray::number(first) + '-' +
                           QByteArray::number(body.size() - 1) + '/' +
                           QByteArray::number(body.size());
            body = body.mid(first);
        }
    }
    if (rule.contentRange)
        contentRange = *rule.contentRange;
    if (rule.raw) {
        c->path = path;
        c->rule = rule;
        c->body.clear();
        startBody(c, *rule.raw);
        return;
    }
    const qint64 realLength = body.size();
    if (rule.extraBytes > 0)
        body += QByteArray(rule.extraBytes, 'x');

    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                      (keepAlive ? "\r\nConnection: keep-alive" : "\r\nConnection: close") +
                      "\r\nContent-Type: application/octet-stream\r\n";
    if (rule.sendContentLength) {
        const qint64 length = rule.announcedLength >= 0 ? rule.announcedLength : realLength;
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    if (!contentRange.isEmpty())
        head += "Content-Range: " + contentRange + "\r\n";
    for (const auto& [name, value] : std::as_const(rule.headers))
        head += name + ": " + value + "\r\n";
    head += "\r\n";

    c->path = path;
    c->rule = rule;
    c->body = body;
    if (rule.delayMs + delayMs > 0) {
        // The connection may be gone by then; its socket is only deleted later.
        QTimer::singleShot(rule.delayMs + delayMs, c->socket, [this, c, head] {
            if (connections.contains(c))
                startBody(c, head);
        });
        return;
    }
    startBody(c, head);
}

void FaultHttpServer::startBody(Connection* c, const QByteArray& head) {
    const FaultRule& rule = c->rule;
    c->socket->write(head);
    if (rule.dripBytes > 0) {
        c->drip = new QTimer(this);
        connect(c->drip, &QTimer::timeout, this, [this, c] { pump(c, true); });
        c->drip->start(rule.dripIntervalMs);
        return;
    }
    pump(c);
}

// Hands the next piece of the body to the socket, following the rule.
void FaultHttpServer::pump(Connection* c, bool dripTick) {
    if (!c->answered || !c->socket || c->socket->state() != QAbstractSocket::ConnectedState)
        return;
    const FaultRule& rule = c->rule;
    if (c->drip && !c->drip->isActive())
        return;
    if (c->socket->bytesToWrite() > highWater)
        return;

    qint64 limit = c->body.size();
    if (rule.stallAfter >= 0)
        limit = std::min(limit, rule.stallAfter);
    if (rule.closeAfter >= 0)
        limit = std::min(limit, rule.closeAfter);

    if (c->sent < limit) {
        qint64 piece = std::min(limit - c->sent, highWater);
        // Only the drip timer sends drip pieces; bytesWritten must not speed it up.
        if (c->drip) {
            if (!dripTick)
                return;
            piece = std::min<qint64>(piece, rule.dripBytes);
        }
        c->socket->write(c->body.constData() + c->sent, piece);
        c->sent += piece;
        sentBytes[c->path] += piece;
        return;
    }
    if (rule.stallAfter >= 0 && c->sent >= rule.stallAfter)
        return;
    if (rule.endless) {
        c->socket->write(QByteArray(64 * 1024, 'z'));
        sentBytes[c->path] += 64 * 1024;
        return;
    }
    if (c->drip) {
        c->drip->stop();
        c->drip->disconnect(this);
        c->drip->deleteLater();
        c->drip = nullptr;
    }
    if (keepAlive && rule.closeAfter < 0 && rule.sendContentLength && rule.extraBytes == 0 &&
        rule.announcedLength < 0 && !rule.raw) {
        // Ready for the next request on this connection, which may have arrived already.
        c->answered = false;
        c->body.clear();
        c->sent = 0;
        onReadyRead(c);
        return;
    }
    // Everything sent (or cut short by closeAfter): close once the socket has flushed.
    c->socket->disconnectFromHost();
}

void FaultHttpServer::drop(Connection* c) {
    if (!connections.removeOne(c))
        return;
    if (c->drip) {
        // The timer's slot holds c, which dies here.
        c->drip->stop();
        c->drip->disconnect(this);
        c->drip->deleteLater();
    }
    c->socket->disconnect(this);
    c->socket->abort();
    c->socket->deleteLater();
    delete c;
}
