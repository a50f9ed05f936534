#include "authproxy.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

AuthProxy::AuthProxy(const QByteArray& user, const QByteArray& password)
    : expected("Basic " + (user + ':' + password).toBase64()) {}

AuthProxy::~AuthProxy() {
    quit();
    wait();
}

bool AuthProxy::listen() {
    start();
    while (listenPort == 0 && !failed)
        QThread::msleep(5);
    return !failed;
}

void AuthProxy::run() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        failed = true;
        return;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket* client = server.nextPendingConnection()) {
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            QObject::connect(client, &QTcpSocket::readyRead, client, [this, client] {
                if (client->property("answered").toBool())
                    return;
                QByteArray head = client->property("head").toByteArray() + client->readAll();
                client->setProperty("head", head);
                const qsizetype end = head.indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                client->setProperty("answered", true);
                const QList<QByteArray> lines = head.left(end).split('\n');
                const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
                QByteArray authorization;
                QByteArray headers;
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const QByteArray line = lines.at(i).trimmed();
                    const QByteArray name = line.left(line.indexOf(':')).toLower();
                    if (name == "proxy-authorization")
                        authorization = line.mid(line.indexOf(':') + 1).trimmed();
                    else if (!name.startsWith("proxy-") && name != "connection")
                        headers += line + "\r\n";
                }
                const QUrl url(QString::fromLatin1(requestLine.value(1)));
                if (authorization != expected || !url.isValid() || url.scheme() != "http") {
                    ++refused;
                    client->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"test proxy\"\r\n"
                                  "Content-Length: 0\r\nConnection: close\r\n\r\n");
                    client->disconnectFromHost();
                    return;
                }
                ++forwarded;
                auto* origin = new QTcpSocket(client);
                QObject::connect(origin, &QTcpSocket::readyRead, client,
                                 [client, origin] { client->write(origin->readAll()); });
                QObject::connect(origin, &QTcpSocket::disconnected, client, [client, origin] {
                    client->write(origin->readAll());
                    client->disconnectFromHost();
                });
                QObject::connect(origin, &QTcpSocket::errorOccurred, client,
                                 [client](QAbstractSocket::SocketError e) {
                                     // A normal end is handled by disconnected, after the rest.
                                     if (e != QAbstractSocket::RemoteHostClosedError)
                                         client->disconnectFromHost();
                                 });
                origin->connectToHost(url.host(), quint16(url.port(80)));
                origin->write(requestLine.value(0) + ' ' +
                              url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                              " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
            });
        }
    });
    listenPort = server.serverPort();
    exec();
}
