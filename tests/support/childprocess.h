#pragma once

#include <QProcess>

// Ends a server the test started: SIGTERM first (a clean shutdown), SIGKILL if it lingers.
inline void stopChild(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
