#include "support/datagrampeer.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

int boundLoopbackSocket(quint16* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    if (port)
        *port = ntohs(address.sin_port);
    return fd;
}

} // namespace

DatagramPeer::DatagramPeer() {
    fd = boundLoopbackSocket(&boundPort);
    forgerFd = boundLoopbackSocket(nullptr);
    // Short receive time-out so that the thread notices stop() quickly.
    timeval timeout{0, 20000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

DatagramPeer::~DatagramPeer() {
    stop();
    ::close(fd);
    ::close(forgerFd);
}

void DatagramPeer::setAnswer(const QByteArray& request, const QByteArray& answer) {
    QMutexLocker locker(&mutex);
    answers.insert(request, answer);
}

void DatagramPeer::removeAnswer(const QByteArray& request) {
    QMutexLocker locker(&mutex);
    answers.remove(request);
}

void DatagramPeer::setForgedAnswer(const QByteArray& datagram) {
    QMutexLocker locker(&mutex);
    forged = datagram;
}

void DatagramPeer::start() {
    if (thread.joinable())
        return;
    stopping = false;
    thread = std::thread([this] { run(); });
}

void DatagramPeer::stop() {
    stopping = true;
    if (thread.joinable())
        thread.join();
}

int DatagramPeer::requestCount(const QByteArray& request) const {
    QMutexLocker locker(&mutex);
    return counts.value(request);
}

void DatagramPeer::run() {
    char buffer[65536];
    while (!stopping) {
        sockaddr_in client{};
        socklen_t length = sizeof(client);
        const ssize_t received = ::recvfrom(fd, buffer, sizeof(buffer), 0,
                                            reinterpret_cast<sockaddr*>(&client), &length);
        if (received < 0)
            continue;
        const QByteArray request(buffer, received);
        QByteArray answer;
        QByteArray forgery;
        bool answered = false;
        {
            QMutexLocker locker(&mutex);
            ++counts[request];
            answered = answers.contains(request);
            answer = answers.value(request);
            forgery = forged;
        }
        if (!answered)
            continue;
        if (!forgery.isEmpty()) {
            ::sendto(forgerFd, forgery.constData(), forgery.size(), 0,
                     reinterpret_cast<sockaddr*>(&client), length);
            // Let the forgery arrive first.
            ::usleep(20000);
        }
        ::sendto(fd, answer.constData(), answer.size(), 0, reinterpret_cast<sockaddr*>(&client),
                 length);
    }
}
