#include "support/xvfbrunner.h"

#include "support/childprocess.h"
#include "support/testpaths.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>

XvfbRunner::XvfbRunner() = default;

XvfbRunner::~XvfbRunner() {
    stop();
}

bool XvfbRunner::start(int width, int height, QString* errorText) {
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        if (errorText)
            *errorText = QStringLiteral("Xvfb not found (package xvfb; scripts/setup installs it)");
        return false;
    }
    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // -displayfd 1: Xvfb picks a free display and writes its number to stdout once it is ready.
    process->start(xvfb,
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(width).arg(height),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QByteArray out;
    QDeadlineTimer deadline(15000);
    while (!out.contains('\n') && !deadline.hasExpired() &&
           process->state() != QProcess::NotRunning) {
        process->waitForReadyRead(200);
        out += process->readAllStandardOutput();
    }
    if (!out.contains('\n')) {
        if (errorText)
            *errorText = QStringLiteral("Xvfb did not start: ") +
                         QString::fromLocal8Bit(process->readAllStandardError());
        stop();
        return false;
    }
    displayName = QLatin1Char(':') + QString::fromLatin1(out.trimmed());
    return true;
}

void XvfbRunner::stop() {
    if (!process)
        return;
    stopChild(*process);
    process.reset();
}

QProcessEnvironment XvfbRunner::environment(QProcessEnvironment base) const {
    base.insert(QStringLiteral("DISPLAY"), displayName);
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    base.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return base;
}

bool XvfbRunner::grab(const QString& pngPath) const {
    QProcess grabber;
    grabber.setProcessEnvironment(environment());
    grabber.start(binPath(QStringLiteral("xgrab")), {pngPath});
    return grabber.waitForFinished(15000) && grabber.exitStatus() == QProcess::NormalExit &&
           grabber.exitCode() == 0;
}
