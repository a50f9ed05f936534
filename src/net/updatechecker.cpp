#include "net/updatechecker.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Closes the descriptor on every way out of the query.
class SocketGuard {
public:
    explicit SocketGuard(int fd)
        : fd(fd) {}
    ~SocketGuard() {
        if (fd >= 0)
            ::close(fd);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    int fd;
};

bool sendRequest(int fd, QByteArrayView request) {
    ssize_t sent;
    do {
        sent = ::send(fd, request.data(), size_t(request.size()), 0);
    } while (sent < 0 && errno == EINTR);
    return sent >= 1;
}

// One datagram, at most limit bytes of it (a longer one is cut by the kernel), decoded up to the
// first zero byte.
bool receiveText(int fd, int limit, QString& text) {
    QByteArray buffer(limit + 1, '\0');
    ssize_t received;
    do {
        received = ::recv(fd, buffer.data(), size_t(limit), 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return false;
    buffer[qsizetype(received)] = '\0';
    text = QString::fromLatin1(buffer.constData(), qstrnlen(buffer.constData(), received));
    return true;
}

} // namespace

UpdateChecker::UpdateChecker(const QString& host, quint16 port, int receiveTimeoutMs)
    : host(host)
    , port(port)
    , receiveTimeoutMs(receiveTimeoutMs) {}

bool UpdateChecker::checkUpdate() {
    return readFromServer();
}

bool UpdateChecker::readFromServer() {
    channelVersions.clear();

    SocketGuard socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (socket.fd < 0)
        return false;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &result) != 0 || !result)
        return false;
    sockaddr_in server{};
    std::memcpy(&server, result->ai_addr, sizeof(server));
    ::freeaddrinfo(result);
    server.sin_family = AF_INET;
    server.sin_port = htons(port);

    // Connected, so only the server's own datagrams reach recv().
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0)
        return false;

    if (!sendRequest(socket.fd, QueryProtocol::VersionRequest))
        return false;

    timeval timeout{};
    timeout.tv_sec = receiveTimeoutMs / 1000;
    timeout.tv_usec = suseconds_t(receiveTimeoutMs % 1000) * 1000;
    if (::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0)
        return false;

    QString versions;
    // An empty answer tells nothing: the same as no answer, so the user may retry.
    if (!receiveText(socket.fd, QueryProtocol::VersionAnswerLimit, versions) || versions.isEmpty())
        return false;
    const QStringList fields = versions.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString& field : fields) {
        const qsizetype hash = field.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            channelVersions.append({field.left(hash), field.mid(hash + 1)});
        else
            channelVersions.append({field, QString()});
    }

    if (!sendRequest(socket.fd, QueryProtocol::NewsRequest))
        return false;
    QString news;
    if (!receiveText(socket.fd, QueryProtocol::NewsAnswerLimit, news))
        return false;
    newsText = news;
    return true;
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(int channel) const {
    if (channel < 0 || channelVersions.size() <= channel)
        return {};
    return channelVersions.at(channel);
}
