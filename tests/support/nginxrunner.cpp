#include "nginxrunner.h"

#include "childprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

quint16 freeLoopbackPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool accepts(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

NginxRunner::NginxRunner(const QString& prefixDir)
    : prefixDir(QDir(prefixDir).absolutePath()) {}

NginxRunner::~NginxRunner() {
    stop();
}

int NginxRunner::addServer(const QString& root, const QString& directives) {
    roots.append(QDir(root).absolutePath());
    extraDirectives.append(directives);
    ports.append(0);
    https.append(false);
    return roots.size() - 1;
}

int NginxRunner::addHttpsServer(const QString& root, const QString& certificate,
                                const QString& key) {
    const int i =
        addServer(root, QStringLiteral("ssl_certificate \"%1\"; ssl_certificate_key \"%2\";")
                            .arg(QFileInfo(certificate).absoluteFilePath(),
                                 QFileInfo(key).absoluteFilePath()));
    https[i] = true;
    return i;
}

quint16 NginxRunner::port(int server) const {
    return ports.value(server);
}

QString NginxRunner::baseUrl(int server) const {
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(https.value(server) ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port(server));
}

bool NginxRunner::isRunning() const {
    return process && process->state() != QProcess::NotRunning;
}

void NginxRunner::writeConfig() const {
    const QString p = prefixDir;
    QString conf;
    conf += QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\n");
    conf += QStringLiteral("pid %1/nginx.pid;\nerror_log %1/error.log warn;\n").arg(p);
    conf += QStringLiteral("events { worker_connections 1024; }\nhttp {\n");
    conf += QStringLiteral("    log_format quillon '$server_port \"$uri\" $status $body_bytes_sent "
                           "\"$http_range\"';\n"
                           "    access_log %1/access.log quillon;\n")
                .arg(p);
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += QStringLiteral("    %1_temp_path %2/tmp/%1;\n").arg(QLatin1String(kind), p);
    conf +=
        QStringLiteral("    types { }\n    default_type application/octet-stream;\n"
                       "    sendfile on;\n    tcp_nopush on;\n    keepalive_requests 100000;\n");
    for (int i = 0; i < roots.size(); ++i) {
        conf +=
            QStringLiteral("    server {\n        listen 127.0.0.1:%1%2;\n        root \"%3\";\n"
                           "        %4\n    }\n")
                .arg(ports.at(i))
                .arg(https.at(i) ? QStringLiteral(" ssl") : QString(), roots.at(i),
                     extraDirectives.at(i));
    }
    conf += QStringLiteral("}\n");
    QFile file(p + QStringLiteral("/nginx.conf"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(conf.toUtf8());
}

bool NginxRunner::start(QString* errorText) {
    // Another process may take a probed port before nginx binds it; pick new ports and retry.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (tryStart(errorText))
            return true;
    }
    return false;
}

bool NginxRunner::tryStart(QString* errorText) {
    stop();
    const QString nginx = QStandardPaths::findExecutable(
        QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    if (nginx.isEmpty()) {
        if (errorText)
            *errorText = QStringLiteral("nginx not found (scripts/setup installs it)");
        return false;
    }
    QDir(prefixDir).mkpath(QStringLiteral("tmp"));
    for (quint16& port : ports)
        port = freeLoopbackPort();
    QFile::remove(prefixDir + QStringLiteral("/error.log"));
    writeConfig();

    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    // -e: the error log before the configuration is read, else nginx opens the system's one.
    process->start(nginx, {QStringLiteral("-p"), prefixDir + QLatin1Char('/'), QStringLiteral("-c"),
                           prefixDir + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                           prefixDir + QStringLiteral("/error.log")});
    if (!process->waitForStarted(5000)) {
        if (errorText)
            *errorText = QStringLiteral("nginx did not start: ") + process->errorString();
        process.reset();
        return false;
    }
    const QDeadlineTimer deadline(10000);
    QList<quint16> waiting = ports;
    while (!waiting.isEmpty() && !deadline.hasExpired()) {
        if (process->state() == QProcess::NotRunning)
            break;
        if (accepts(waiting.first()))
            waiting.removeFirst();
        else
            QThread::msleep(20);
    }
    if (waiting.isEmpty() && process->state() == QProcess::Running)
        return true;
    if (errorText)
        *errorText = QStringLiteral("nginx did not come up: ") + errorLog();
    stop();
    return false;
}

void NginxRunner::stop() {
    if (!process)
        return;
    stopChild(*process);
    process.reset();
}

QList<NginxRunner::AccessEntry> NginxRunner::accessLog() const {
    QList<AccessEntry> entries;
    QFile file(prefixDir + QStringLiteral("/access.log"));
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    static const QRegularExpression line(
        QStringLiteral("^(\\d+) \"([^\"]*)\" (\\d+) (\\d+) \"([^\"]*)\"$"));
    while (!file.atEnd()) {
        const QString text = QString::fromUtf8(file.readLine()).trimmed();
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch())
            continue;
        AccessEntry e;
        e.port = static_cast<quint16>(m.captured(1).toUInt());
        e.path = m.captured(2);
        e.status = m.captured(3).toInt();
        e.bytes = m.captured(4).toLongLong();
        e.range = m.captured(5) == QLatin1String("-") ? QString() : m.captured(5);
        entries.append(e);
    }
    return entries;
}

QString NginxRunner::errorLog() const {
    QFile file(prefixDir + QStringLiteral("/error.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
