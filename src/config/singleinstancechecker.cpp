#include "config/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// True if the socket file of that name is absent or belongs to the current user.
bool ownsSocketFile(const QString& name) {
    const QString path = QDir::tempPath() + QLatin1Char('/') + name;
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT;
    return info.st_uid == ::geteuid();
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this)) {
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const QString name = getLocalServerName();
    if (server->listen(name))
        return;
    // A socket file left by an instance that was killed blocks the name for good. Take it over
    // only if nobody answers on it, and only if it is our own file.
    if (server->serverError() == QAbstractSocket::AddressInUseError && ownsSocketFile(name)) {
        QLocalSocket probe;
        probe.connectToServer(name);
        if (!probe.waitForConnected(1000)) {
            QLocalServer::removeServer(name);
            server->listen(name);
        }
    }
}

SingleInstanceChecker::~SingleInstanceChecker() {
    server->close();
    if (currentConnection)
        currentConnection->close();
}

QString SingleInstanceChecker::getLocalServerName() {
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const quint16 crc = qChecksum(key.toUtf8(), Qt::ChecksumIso3309);
    return QStringLiteral("QLNClientUpdate") + QString::number(crc, 16);
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message) {
    // The socket file lives in the shared temporary directory; one planted there by another
    // user must not be able to send our updater away.
    if (!ownsSocketFile(getLocalServerName()))
        return false;
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(1000))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(1000);
}

void SingleInstanceChecker::onNewConnection() {
    // A client that connected earlier but has not spoken yet loses its turn.
    if (currentConnection) {
        currentConnection->disconnect(this);
        currentConnection->deleteLater();
    }
    currentConnection = server->nextPendingConnection();
    if (currentConnection)
        connect(currentConnection, &QLocalSocket::readyRead, this,
                &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead() {
    if (!currentConnection)
        return;
    const QByteArray bytes = currentConnection->readAll();
    const qsizetype end = bytes.indexOf('\0');
    const QString message = QString::fromLatin1(end >= 0 ? bytes.left(end) : bytes);
    // Released after this handler returns: its readyRead emission is still on the stack.
    QLocalSocket* done = currentConnection;
    currentConnection = nullptr;
    done->disconnect(this);
    done->deleteLater();
    emit otherInstanceActivate(message);
}
