#include "mirroraccessmanager.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QTcpSocket>

#include <cstring>

namespace {

// Read-ahead per connection: enough for large bodies to come in big reads, small enough that a
// body nobody reads stays in the kernel, where TCP holds the mirror back.
constexpr qint64 socketBufferSize = qint64(256) * 1024;
// A status line, a header block, a chunk-size line or a trailer longer than this is not HTTP.
constexpr qint64 maxHeaderBytes = qint64(64) * 1024;

// Possibly inside one of the socket's own signals, so deleted later.
void discard(QTcpSocket* socket, QObject* listener) {
    QObject::disconnect(socket, nullptr, listener, nullptr);
    socket->abort();
    socket->deleteLater();
}

QString keyOf(const QUrl& url) {
    return url.host() + QLatin1Char(':') + QString::number(url.port(80));
}

// One HTTP/1.1 GET on a connection of the manager. Behaves towards its reader as Qt's own reply
// does: metaDataChanged() once the headers are in (status code, raw headers, content length),
// readyRead() and downloadProgress() as the body arrives, then finished(); an HTTP status of 400
// or more, a transport failure or abort() set error() first. Redirects are never followed.
class MirrorReply final : public QNetworkReply {
public:
    MirrorReply(MirrorAccessManager* manager, const QNetworkRequest& request)
        : QNetworkReply(manager)
        , manager(manager)
        , key(keyOf(request.url())) {
        setRequest(request);
        setUrl(request.url());
        setOperation(QNetworkAccessManager::GetOperation);
        QNetworkReply::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        const QUrl url = request.url();
        QByteArray target =
            url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
        if (target.isEmpty())
            target = "/";
        QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
        if (host.contains(':'))
            host = '[' + host + ']';
        if (url.port() != -1 && url.port() != 80)
            host += ':' + QByteArray::number(url.port());
        requestBytes = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
        for (const QByteArray& name : request.rawHeaderList())
            requestBytes += name + ": " + request.rawHeader(name) + "\r\n";
        requestBytes += "\r\n";
        connectSocket();
    }

    ~MirrorReply() override { dropSocket(); }

    void abort() override {
        if (!isFinished())
            fail(OperationCanceledError, QStringLiteral("Operation canceled"));
    }

    bool isSequential() const override { return true; }

    qint64 bytesAvailable() const override {
        return QNetworkReply::bytesAvailable() + pending.size() - pendingPos + bodyAvailable();
    }

    void setReadBufferSize(qint64 size) override {
        QNetworkReply::setReadBufferSize(size);
        if (socket)
            socket->setReadBufferSize(bufferSize());
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (pendingPos == pending.size())
            return takeBody(data, maxSize);
        const qint64 n = std::min<qint64>(maxSize, pending.size() - pendingPos);
        std::memcpy(data, pending.constData() + pendingPos, size_t(n));
        pendingPos += n;
        if (pendingPos == pending.size()) {
            pending.resize(0);
            pendingPos = 0;
        }
        // A full buffer held the rest of the body back in the socket.
        if (waitingForReader && !pumping) {
            waitingForReader = false;
            QMetaObject::invokeMethod(
                this, [this] { pump(); }, Qt::QueuedConnection);
        }
        return n;
    }

private:
    // Where the answer stands: the body's kinds differ in what ends them.
    enum class Stage {
        Status,
        Headers,
        Body,
        UntilClose,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailers
    };

    // The parent: it outlives the reply.
    MirrorAccessManager* const manager;
    QString key;
    QByteArray requestBytes;
    QTcpSocket* socket = nullptr;
    Stage stage = Stage::Status;
    // The connection served an earlier answer; the server may have closed it meanwhile.
    bool reused = false;
    bool resent = false;
    bool keepAlive = false;
    // Bytes of this answer seen so far, headers included.
    qint64 answerBytes = 0;
    qint64 headerBytes = 0;
    // Body bytes left in the body or the current chunk; -1: until the server closes.
    qint64 left = -1;
    qint64 received = 0;
    qint64 total = -1;
    int status = 0;
    bool pumping = false;
    // The body that the reader left when it was offered, as Qt's replies keep it: bounded by
    // readBufferSize() when that is set.
    QByteArray pending;
    qint64 pendingPos = 0;
    bool waitingForReader = false;
    QList<QPair<QByteArray, QByteArray>> headers;

    // What the socket holds of the body, or of the current chunk. Taken only after what is
    // pending, so that the body stays in order.
    qint64 bodyAvailable() const {
        if (!socket ||
            (stage != Stage::Body && stage != Stage::ChunkData && stage != Stage::UntilClose))
            return 0;
        const qint64 n = socket->bytesAvailable();
        return left >= 0 ? std::min(n, left) : n;
    }

    // Body bytes from the socket, counted as received.
    qint64 takeBody(char* data, qint64 maxSize) {
        const qint64 n = std::min(maxSize, bodyAvailable());
        const qint64 got = n > 0 ? socket->read(data, n) : 0;
        if (got <= 0)
            return 0;
        received += got;
        if (left >= 0)
            left -= got;
        return got;
    }

    // Never below a whole header block, or a partial line could fill the buffer for good.
    qint64 bufferSize() const {
        const qint64 wanted = readBufferSize();
        return wanted > 0 ? std::clamp(wanted, maxHeaderBytes + 1, socketBufferSize)
                          : socketBufferSize;
    }

    void connectSocket() {
        // A resend never takes another kept connection: the server may have ended that one too.
        socket = resent ? nullptr : manager->takeIdleConnection(key);
        reused = socket != nullptr;
        if (!socket) {
            socket = new QTcpSocket;
            socket->setReadBufferSize(bufferSize());
        }
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { pump(); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) { onSocketError(error); });
        if (reused) {
            // Sent now rather than when the loop next finds the socket writable: a turn less, and
            // the mirror starts on it while this thread goes on. A failure comes back here as
            // the error of a kept connection and is retried on a new one.
            socket->write(requestBytes);
            socket->flush();
            return;
        }
        connect(socket, &QTcpSocket::connected, this, [this] {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket->write(requestBytes);
        });
        const QUrl url = request().url();
        socket->connectToHost(url.host(), quint16(url.port(80)));
    }

    void dropSocket() {
        if (!socket)
            return;
        discard(socket, this);
        socket = nullptr;
    }

    void onSocketError(QAbstractSocket::SocketError error) {
        if (isFinished())
            return;
        // A kept connection the server closed before it read the request: once more, afresh.
        if (reused && !resent && answerBytes == 0 && socket->bytesAvailable() == 0) {
            resent = true;
            dropSocket();
            connectSocket();
            return;
        }
        pump();
        if (isFinished())
            return;
        if (error == QAbstractSocket::RemoteHostClosedError && stage == Stage::UntilClose &&
            socket->bytesAvailable() == 0) {
            keepAlive = false;
            complete();
            return;
        }
        NetworkError code = UnknownNetworkError;
        switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            code = ConnectionRefusedError;
            break;
        case QAbstractSocket::RemoteHostClosedError:
            code = RemoteHostClosedError;
            break;
        case QAbstractSocket::HostNotFoundError:
            code = HostNotFoundError;
            break;
        case QAbstractSocket::SocketTimeoutError:
            code = TimeoutError;
            break;
        default:
            break;
        }
        fail(code, socket->errorString());
    }

    bool protocolError(const QString& what) {
        fail(ProtocolFailure, QStringLiteral("%1 from %2").arg(what, url().toDisplayString()));
        return false;
    }

    // A line of the answer's framing, or an empty array while it is incomplete. False after a
    // failure.
    bool readLine(QByteArray& line) {
        line.clear();
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > maxHeaderBytes)
                return protocolError(QStringLiteral("Header too long"));
            return true;
        }
        // Most lines are short: Qt's readLine(max) would allocate max bytes for each of them.
        char start[256];
        const qint64 n = socket->readLine(start, sizeof start);
        line = QByteArray(start, std::max<qint64>(n, 0));
        if (n == qint64(sizeof start) - 1 && !line.endsWith('\n'))
            line += socket->readLine(maxHeaderBytes + 1 - n);
        answerBytes += line.size();
        if (stage == Stage::Status || stage == Stage::Headers || stage == Stage::Trailers) {
            headerBytes += line.size();
            if (headerBytes > maxHeaderBytes)
                return protocolError(QStringLiteral("Header too long"));
        }
        return true;
    }

    // Parses what the socket holds and hands the body on, as far as it goes.
    void pump() {
        const QPointer<MirrorReply> alive(this);
        pumping = true;
        pumpAnswer();
        if (alive)
            pumping = false;
    }

    void pumpAnswer() {
        const QPointer<MirrorReply> alive(this);
        QByteArray line;
        while (alive && socket && !isFinished()) {
            switch (stage) {
            case Stage::Status:
            case Stage::Headers:
            case Stage::ChunkSize:
            case Stage::ChunkEnd:
            case Stage::Trailers:
                if (!readLine(line) || line.isEmpty())
                    return;
                line.chop(line.endsWith("\r\n") ? 2 : 1);
                if (!onLine(line))
                    return;
                break;
            case Stage::Body:
            case Stage::ChunkData:
            case Stage::UntilClose: {
                if (left == 0) {
                    if (stage == Stage::Body) {
                        complete();
                        return;
                    }
                    stage = Stage::ChunkEnd;
                    break;
                }
                if (bodyAvailable() <= 0)
                    return;
                const qint64 before = received;
                const bool offered = pending.isEmpty();
                if (offered) {
                    // Offered straight from the socket: a reader that takes it at once spares
                    // the body a copy here, which cost large files a tenth of this thread.
                    emit readyRead();
                    if (!alive || isFinished())
                        return;
                }
                if (received == before) {
                    // Left by the reader (or behind what it left before): kept here.
                    qint64 n = bodyAvailable();
                    if (readBufferSize() > 0)
                        n = std::min(n, readBufferSize() - (pending.size() - pendingPos));
                    if (n <= 0) {
                        waitingForReader = true;
                        return;
                    }
                    if (pendingPos > 0) {
                        pending.remove(0, pendingPos);
                        pendingPos = 0;
                    }
                    const qsizetype held = pending.size();
                    pending.resize(held + n);
                    const qint64 got = takeBody(pending.data() + held, n);
                    pending.resize(held + got);
                    if (got <= 0)
                        return;
                    if (!offered) {
                        emit readyRead();
                        if (!alive || isFinished())
                            return;
                    }
                }
                emit downloadProgress(received, total);
                break;
            }
            }
        }
    }

    bool onLine(const QByteArray& line) {
        switch (stage) {
        case Stage::Status: {
            // "HTTP/1.1 200 OK"
            const QList<QByteArray> parts = line.split(' ');
            bool isNumber = false;
            status = parts.size() >= 2 ? parts[1].toInt(&isNumber) : 0;
            if (!line.startsWith("HTTP/1.") || !isNumber || status < 100 || status > 999)
                return protocolError(QStringLiteral("Invalid HTTP status line"));
            keepAlive = line.startsWith("HTTP/1.1");
            setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
            setAttribute(QNetworkRequest::HttpReasonPhraseAttribute,
                         QString::fromLatin1(line.mid(parts[0].size() + parts[1].size() + 2)));
            stage = Stage::Headers;
            return true;
        }
        case Stage::Headers:
            if (!line.isEmpty()) {
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0)
                    return protocolError(QStringLiteral("Invalid HTTP header"));
                headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
                return true;
            }
            return onHeadersDone();
        case Stage::ChunkSize: {
            // "1a2b;extension"
            bool isNumber = false;
            const qsizetype semicolon = line.indexOf(';');
            const qint64 size =
                (semicolon < 0 ? line : line.left(semicolon)).trimmed().toLongLong(&isNumber, 16);
            if (!isNumber || size < 0)
                return protocolError(QStringLiteral("Invalid chunk size"));
            left = size;
            headerBytes = 0;
            stage = size == 0 ? Stage::Trailers : Stage::ChunkData;
            return true;
        }
        case Stage::ChunkEnd:
            if (!line.isEmpty())
                return protocolError(QStringLiteral("Invalid chunk end"));
            stage = Stage::ChunkSize;
            return true;
        case Stage::Trailers:
            if (line.isEmpty())
                complete();
            return true;
        default:
            return true;
        }
    }

    bool onHeadersDone() {
        // An interim answer ("100 Continue") precedes the real one.
        if (status < 200) {
            headers.clear();
            headerBytes = 0;
            stage = Stage::Status;
            return true;
        }
        bool chunked = false;
        bool hasTransferEncoding = false;
        qint64 length = -1;
        for (const auto& [name, value] : std::as_const(headers)) {
            const QByteArray lower = name.toLower();
            if (lower == "content-length") {
                bool isNumber = false;
                const qint64 n = value.toLongLong(&isNumber);
                if (!isNumber || n < 0 || (length >= 0 && n != length))
                    return protocolError(QStringLiteral("Invalid Content-Length"));
                length = n;
            } else if (lower == "transfer-encoding") {
                hasTransferEncoding = true;
                chunked = value.toLower().trimmed().endsWith("chunked");
            } else if (lower == "connection") {
                const QByteArray tokens = value.toLower();
                if (tokens.contains("close"))
                    keepAlive = false;
                else if (tokens.contains("keep-alive"))
                    keepAlive = true;
            }
            // Qt would turn the date into local time, reading the time zone each time; no reader
            // here wants it.
            if (lower == "last-modified")
                continue;
            // Repeated fields are one list, as Qt presents them.
            const QByteArray held = rawHeader(name);
            setRawHeader(name, held.isEmpty() ? value : held + ", " + value);
        }
        headers.clear();
        if (status == 204 || status == 304) {
            left = 0;
            stage = Stage::Body;
        } else if (hasTransferEncoding) {
            stage = chunked ? Stage::ChunkSize : Stage::UntilClose;
            left = -1;
            keepAlive = keepAlive && chunked;
        } else if (length >= 0) {
            total = left = length;
            setHeader(QNetworkRequest::ContentLengthHeader, length);
            stage = Stage::Body;
        } else {
            left = -1;
            keepAlive = false;
            stage = Stage::UntilClose;
        }
        headerBytes = 0;
        const QPointer<MirrorReply> alive(this);
        emit metaDataChanged();
        return alive && !isFinished();
    }

    void complete() {
        if (keepAlive && socket->bytesAvailable() == 0 &&
            socket->state() == QAbstractSocket::ConnectedState) {
            disconnect(socket, nullptr, this, nullptr);
            manager->keepIdleConnection(key, socket);
            socket = nullptr;
        } else {
            dropSocket();
        }
        if (status >= 400)
            setError(errorOf(status),
                     QStringLiteral("Error transferring %1 - server replied: %2")
                         .arg(url().toDisplayString(),
                              attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        end();
    }

    void fail(NetworkError code, const QString& text) {
        dropSocket();
        setError(code, text);
        end();
    }

    void end() {
        setFinished(true);
        const QPointer<MirrorReply> alive(this);
        if (error() != NoError)
            emit errorOccurred(error());
        if (alive)
            emit finished();
    }

    static NetworkError errorOf(int status) {
        switch (status) {
        case 401:
            return AuthenticationRequiredError;
        case 403:
            return ContentAccessDenied;
        case 404:
            return ContentNotFoundError;
        case 405:
            return ContentOperationNotPermittedError;
        case 409:
            return ContentConflictError;
        case 410:
            return ContentGoneError;
        case 500:
            return InternalServerError;
        case 501:
            return OperationNotImplementedError;
        case 503:
            return ServiceUnavailableError;
        default:
            return status < 500 ? UnknownContentError : UnknownServerError;
        }
    }
};

} // namespace

MirrorAccessManager::MirrorAccessManager(QObject* parent)
    : QNetworkAccessManager(parent) {}

QTcpSocket* MirrorAccessManager::takeIdleConnection(const QString& key) {
    QTcpSocket* socket = idleConnections.take(key);
    if (socket)
        disconnect(socket, nullptr, this, nullptr);
    return socket;
}

void MirrorAccessManager::keepIdleConnection(const QString& key, QTcpSocket* socket) {
    socket->setParent(this);
    idleConnections.insert(key, socket);
    // Whatever an idle connection hears (the server closing it, or stray bytes) ends it.
    const auto drop = [this, key, socket] {
        idleConnections.remove(key, socket);
        discard(socket, this);
    };
    connect(socket, &QTcpSocket::readyRead, this, drop);
    connect(socket, &QTcpSocket::disconnected, this, drop);
    connect(socket, &QTcpSocket::errorOccurred, this, drop);
}

QNetworkReply* MirrorAccessManager::createRequest(Operation op, const QNetworkRequest& request,
                                                  QIODevice* outgoingData) {
    const QUrl url = request.url();
    // As Qt resolves the proxy of a request: the manager's own, else the application's.
    bool direct = proxy().type() == QNetworkProxy::NoProxy;
    if (proxy().type() == QNetworkProxy::DefaultProxy) {
        const QNetworkProxyQuery query(url);
        const QList<QNetworkProxy> proxies = proxyFactory()
                                                 ? proxyFactory()->queryProxy(query)
                                                 : QNetworkProxyFactory::proxyForQuery(query);
        direct = proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
    }
    if (op != GetOperation || outgoingData || !direct || url.scheme() != QLatin1String("http") ||
        url.host().isEmpty() || !url.userInfo().isEmpty())
        return QNetworkAccessManager::createRequest(op, request, outgoingData);
    return new MirrorReply(this, request);
}
