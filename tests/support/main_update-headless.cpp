// The updater without its window, for tests and benchmarks:
//   update-headless INSTALL_DIR [the updater's own arguments...]
// Drives Configuration and UpdateEngine as the window does, prints every engine message on
// stdout (one line each, flushed at once, so a watcher can act on them) and exits 0 when the
// update finished, 3 when it was cancelled, 1 on a configuration error, 2 on a fatal engine
// error. SIGINT and SIGTERM act as the user's cancel.
#include "config/configuration.h"
#include "config/installlayout.h"
#include "engine/updateengine.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2];

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// The first reason to end wins: a failed initialize() has already reported why.
bool ending = false;
void end(int code) {
    if (!ending) {
        ending = true;
        QCoreApplication::exit(code);
    }
}

void printLine(const char* prefix, const QString& text) {
    std::printf("%s%s\n", prefix, text.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    UpdateEngine::prepareProcess();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() < 2 || args.at(1) == QLatin1String("--help")) {
        std::fprintf(stderr, "usage: update-headless INSTALL_DIR [updater arguments...]\n");
        return args.size() < 2 ? 2 : 0;
    }
    InstallLayout::setAppRootPath(QDir(args.takeAt(1)).absolutePath());
    UpdateEngine::removeOldFilesAtStart();

    Configuration configuration;
    UpdateEngine engine(configuration, nullptr);
    QObject::connect(&configuration, &Configuration::fatalError, [](const QString& text) {
        printLine("fatal: ", text);
        end(1);
    });
    QObject::connect(&engine, &UpdateEngine::fatalError, [](const QString& text) {
        printLine("fatal: ", text);
        end(2);
    });
    QObject::connect(&engine, &UpdateEngine::message,
                     [](const QString& text) { printLine("", text); });
    QObject::connect(&engine, &UpdateEngine::error,
                     [](const QString& text) { printLine("error: ", text); });
    QObject::connect(&engine, &UpdateEngine::updateFinished, [] { end(0); });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, [] { end(3); });

    ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&engine] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &c, 1);
        printLine("", QStringLiteral("(cancel requested)"));
        engine.cancelUpdate();
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    if (!configuration.parseCommandLineOptions(args))
        return 1;
    // As the window's start button: initialize, then start; the end comes from the engine.
    QTimer::singleShot(0, &engine, [&engine] {
        if (engine.initialize())
            engine.startUpdate();
        else if (QCoreApplication::instance())
            end(2);
    });
    return app.exec();
}
