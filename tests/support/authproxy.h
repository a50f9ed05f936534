#pragma once

#include <QByteArray>
#include <QThread>

#include <atomic>

// A forwarding HTTP proxy on 127.0.0.1 that wants Basic credentials: a request without the right
// Proxy-Authorization gets 407, any other is passed to its origin with "Connection: close" and
// the answer relayed back. Runs its own event loop in a thread, so that a test blocked on a child
// process still has it answering. Plain HTTP only (no CONNECT).
class AuthProxy : public QThread {
public:
    AuthProxy(const QByteArray& user, const QByteArray& password);
    ~AuthProxy() override;

    // Starts the thread and waits until it listens; false if it cannot.
    bool listen();
    quint16 port() const { return listenPort; }

    std::atomic<int> refused{0};
    std::atomic<int> forwarded{0};

protected:
    void run() override;

private:
    QByteArray expected;
    std::atomic<quint16> listenPort{0};
    std::atomic<bool> failed{false};
};
