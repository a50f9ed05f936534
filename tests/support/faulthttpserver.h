#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <optional>

class QTcpServer;
class QTcpSocket;

// How the test server answers one path. The default serves the file under the root with status
// 200 and a content length; each field bends one part of that answer.
struct FaultRule {
    int status = 200;
    // Extra response headers, e.g. {"Location", "http://..."} or {"WWW-Authenticate", "Basic"}.
    QList<QPair<QByteArray, QByteArray>> headers;
    // Sent instead of the file (also when the file does not exist).
    std::optional<QByteArray> body;
    bool sendContentLength = true;
    // Announced instead of the real length when >= 0.
    qint64 announcedLength = -1;
    // Send this many body bytes, then nothing more while keeping the connection open.
    qint64 stallAfter = -1;
    // Send this many body bytes, then close the connection.
    qint64 closeAfter = -1;
    // Invert the byte at this offset of the body.
    qint64 corruptAt = -1;
    // Append this many filler bytes to the body (not counted in the announced length).
    qint64 extraBytes = 0;
    // After the body, send filler until the client goes away.
    bool endless = false;
    // Send the body in pieces of dripBytes every dripIntervalMs milliseconds.
    int dripBytes = 0;
    int dripIntervalMs = 0;
    // A request with "Range: bytes=N-" gets the rest of the file as 206 unless ignoreRange is set
    // (then the whole file as 200); contentRange is sent instead of the right Content-Range.
    bool ignoreRange = false;
    std::optional<QByteArray> contentRange;
    // Wait this long before answering.
    int delayMs = 0;
    // Sent as the whole answer instead (status line, headers and body in any framing); the
    // connection closes after it.
    std::optional<QByteArray> raw;
    // Apply the rule to the first `times` requests of the path only (-1: always); later requests
    // get the plain answer.
    int times = -1;
};

// A small HTTP/1.1 server on 127.0.0.1 for tests: serves a directory and answers chosen paths with
// faults (any status, redirects, stalls, early close, corrupt bytes, overlong or endless bodies,
// slow drip). Every response closes its connection unless keep-alive is on. It counts requests per
// path. Runs on the thread that creates it, so the test's event loop drives it.
class FaultHttpServer : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FaultHttpServer)

public:
    explicit FaultHttpServer(const QString& root = QString(), QObject* parent = nullptr);
    ~FaultHttpServer() override;

    // Listens on a free loopback port.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;

    void setRoot(const QString& root);
    // path is the URL path as requested, e.g. "/m1/7/client.ini".
    void setRule(const QString& path, const FaultRule& rule);
    void clearRules();
    // Keep connections open after a well-formed answer for the next request (default: every
    // answer closes its connection).
    void setKeepAlive(bool on);
    // Wait this long before every answer, as a distant server would.
    void setDelay(int ms);
    // Closes every connection at once, as a server ending idle keep-alive connections does, or
    // resets them.
    void closeConnections(bool reset = false);

    int requestCount(const QString& path) const;
    // Body bytes handed to the sockets of all requests of path, filler included.
    qint64 bytesSent(const QString& path) const;
    int totalRequests() const;
    // The Range header of each request of path, in order; empty for a request without one.
    QList<QByteArray> ranges(const QString& path) const;
    // TCP connections accepted so far.
    int connectionCount() const;
    // Every requested path, in arrival order.
    QStringList requestLog() const;
    // Connections still open after their request was answered (a stalled or endless body).
    int openResponses() const;

signals:
    void requestReceived(QString path);

private:
    struct Connection;

    void onNewConnection();
    void onReadyRead(Connection* c);
    void respond(Connection* c, const QString& path, const QByteArray& range);
    void startBody(Connection* c, const QByteArray& head);
    // dripTick: called by the drip timer, the only caller that may send a drip piece.
    void pump(Connection* c, bool dripTick = false);
    void drop(Connection* c);

    QTcpServer* server;
    QString root;
    QHash<QString, FaultRule> rules;
    QHash<QString, int> counts;
    QHash<QString, qint64> sentBytes;
    QHash<QString, QList<QByteArray>> rangeHeaders;
    int accepted = 0;
    bool keepAlive = false;
    int delayMs = 0;
    QStringList log;
    QList<Connection*> connections;
};
