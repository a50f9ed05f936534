#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <memory>

class QProcess;

// An Xvfb X server as a child process of the test, on a display number it picks itself.
// stop() (or the destructor) ends it.
class XvfbRunner {
public:
    XvfbRunner();
    ~XvfbRunner();
    XvfbRunner(const XvfbRunner&) = delete;
    XvfbRunner& operator=(const XvfbRunner&) = delete;

    // Starts Xvfb with one screen of the given size; false (with errorText) if it cannot.
    bool start(int width = 800, int height = 600, QString* errorText = nullptr);
    void stop();
    // ":N"
    QString display() const { return displayName; }
    // The given environment with DISPLAY set and Qt told to use it.
    QProcessEnvironment
    environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;
    // Writes a PNG of the whole screen with build/bin/xgrab.
    bool grab(const QString& pngPath) const;

private:
    std::unique_ptr<QProcess> process;
    QString displayName;
};
