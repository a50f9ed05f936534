#include "config/configuration.h"
#include "config/installlayout.h"
#include "config/singleinstancechecker.h"
#include "engine/updateengine.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

int main(int argc, char* argv[]) {
    UpdateEngine::prepareProcess();
    QApplication app(argc, argv);

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    // A missing translation leaves the texts as written; that is no error.
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    (void)updateTranslator.load(InstallLayout::translationFile(QStringLiteral("update"), locale));
    app.installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    (void)qtTranslator.load(InstallLayout::translationFile(QStringLiteral("qt"), locale));
    app.installTranslator(&qtTranslator);

    Configuration configuration;
    MainWindow window(configuration);
    // Only now that the window listens as the single instance: a running instance may still need
    // the copies for a rollback.
    UpdateEngine::removeOldFilesAtStart();

    if (!configuration.parseCommandLineOptions())
        return 1;

    // Precise: Qt would let a timer this long fire up to 100 ms early or late.
    if (configuration.noUserMode == 1)
        QTimer::singleShot(2000, Qt::PreciseTimer, &window, &MainWindow::onAutoStartUpdate);

    window.setUIToConfigSpecs();
    window.show();
    window.setNews();

    return app.exec();
}
