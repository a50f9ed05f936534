#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

// nginx as a child process of the test: its own prefix directory holds the configuration, the
// pid file, both logs and the temporary paths, so it needs no root, no user switch and touches
// nothing of the system's nginx. Each server block serves one directory on a free loopback port.
// Runs in the foreground without a master process; stop() (or the destructor) ends it.
class NginxRunner {
public:
    // prefixDir must exist and be private to this runner (a QTemporaryDir's path).
    explicit NginxRunner(const QString& prefixDir);
    ~NginxRunner();
    NginxRunner(const NginxRunner&) = delete;
    NginxRunner& operator=(const NginxRunner&) = delete;

    // Adds a server block serving root, with extra directives for the block (e.g.
    // "limit_rate 400k;"); returns its index. Call before start().
    int addServer(const QString& root, const QString& directives = {});
    // The same over HTTPS with the given PEM certificate (chain) and key.
    int addHttpsServer(const QString& root, const QString& certificate, const QString& key);
    // Writes the configuration, starts nginx and waits until every port accepts connections.
    // On failure returns false and sets errorText (with nginx's error log).
    bool start(QString* errorText = nullptr);
    void stop();
    bool isRunning() const;

    quint16 port(int server) const;
    // "http://127.0.0.1:<port>", or https for a server added with addHttpsServer
    QString baseUrl(int server) const;
    QString prefix() const { return prefixDir; }

    struct AccessEntry {
        quint16 port = 0;
        QString path;
        int status = 0;
        qint64 bytes = 0;
        // The request's Range header; empty without one.
        QString range;
    };
    // Every request nginx has logged so far, in order.
    QList<AccessEntry> accessLog() const;
    QString errorLog() const;

private:
    bool tryStart(QString* errorText);
    void writeConfig() const;

    QString prefixDir;
    QStringList roots;
    QStringList extraDirectives;
    QList<quint16> ports;
    QList<bool> https;
    std::unique_ptr<QProcess> process;
};
