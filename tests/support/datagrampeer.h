#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>

#include <atomic>
#include <thread>

// A UDP peer on 127.0.0.1 with a free port, answering on a thread of its own so that a blocking
// client on the test's thread can talk to it. Each request (the whole datagram) maps to an
// answer; a request without an answer is counted and left unanswered.
class DatagramPeer final {
public:
    DatagramPeer();
    ~DatagramPeer();
    DatagramPeer(const DatagramPeer&) = delete;
    DatagramPeer& operator=(const DatagramPeer&) = delete;

    // The socket is bound at construction, so the port is known before start().
    quint16 port() const { return boundPort; }
    void setAnswer(const QByteArray& request, const QByteArray& answer);
    void removeAnswer(const QByteArray& request);
    // Before each real answer, a third socket sends this datagram to the client first.
    void setForgedAnswer(const QByteArray& datagram);
    void start();
    void stop();
    // Requests received with this content so far.
    int requestCount(const QByteArray& request) const;

private:
    void run();

    int fd = -1;
    int forgerFd = -1;
    quint16 boundPort = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    mutable QMutex mutex;
    QHash<QByteArray, QByteArray> answers;
    QHash<QByteArray, int> counts;
    QByteArray forged;
};
