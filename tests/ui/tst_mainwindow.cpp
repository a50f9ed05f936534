// The main window in-process (offscreen) with a real engine, real runs and nginx mirrors.
#include "config/configuration.h"
#include "config/installlayout.h"
#include "config/singleinstancechecker.h"
#include "engine/updateengine.h"
#include "support/authproxy.h"
#include "support/datagrampeer.h"
#include "support/faulthttpserver.h"
#include "support/files.h"
#include "support/nginxrunner.h"
#include "support/samplesite.h"
#include "support/testpaths.h"
#include "support/treesnapshot.h"
#include "support/urlcatcher.h"
#include "ui/changelogviewer.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Answers every message box that opens, from a timer, and notes what it said. Question boxes
// take the next of the queued answers (No when none is queued); the others are acknowledged.
class BoxAnswerer final : public QObject {
public:
    BoxAnswerer() {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(20);
        qApp->installEventFilter(this);
    }
    QList<QMessageBox::StandardButton> answers;
    QStringList seen; // "title: text"
    QList<QMessageBox::StandardButtons> buttons;
    QList<bool> hadDefault;

protected:
    // A box is answered as soon as it shows, before the run behind it has moved on much.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched))
            QMetaObject::invokeMethod(this, &BoxAnswerer::poll, Qt::QueuedConnection);
        return false;
    }

private:
    void poll() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->isVisible() || box->property("answered").toBool())
                continue;
            box->setProperty("answered", true);
            seen.append(box->windowTitle() + QStringLiteral(": ") + box->text());
            buttons.append(box->standardButtons());
            hadDefault.append(box->defaultButton() != nullptr);
            QAbstractButton* button = nullptr;
            if (box->button(QMessageBox::Yes))
                button = box->button(answers.isEmpty() ? QMessageBox::No : answers.takeFirst());
            else if (box->button(QMessageBox::Retry))
                button = box->button(answers.isEmpty() ? QMessageBox::Abort : answers.takeFirst());
            else
                button = box->button(QMessageBox::Ok);
            QVERIFY(button);
            QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
        }
    }
    QTimer timer;
};

// Ends a QCoreApplication::exec() that a test started, should the expected quit never come.
class Watchdog final {
public:
    explicit Watchdog(int ms) {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        timer.start(ms);
    }

private:
    QTimer timer;
};

template <typename T> T* child(QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

} // namespace

class TstMainWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir work;
    SampleSite::Site site;
    QTemporaryDir nginxPrefix;
    std::unique_ptr<NginxRunner> nginx;
    int installs = 0;

    // A fresh installation of 120 served by both nginx mirrors, as the program's root.
    QString freshInstallation(const QStringList& mirrors = {}) {
        const QString dir = work.filePath(QStringLiteral("install-%1/quillon").arg(++installs));
        const bool ok = SampleSite::install(
            site, dir,
            mirrors.isEmpty() ? QStringList{nginx->baseUrl(0), nginx->baseUrl(1)} : mirrors,
            {{QStringLiteral("update/server"), QStringLiteral("127.0.0.1")},
             {QStringLiteral("update/bannerPort"), QStringLiteral("9")}});
        if (!ok)
            qFatal("cannot lay out an installation in %s", qPrintable(dir));
        InstallLayout::setAppRootPath(dir);
        return dir;
    }
    static void configure(Configuration& config, const QStringList& args) {
        QStringList all{QStringLiteral("update")};
        all += args;
        QVERIFY(config.parseCommandLineOptions(all));
    }

private slots:
    void initTestCase() {
        QVERIFY(work.isValid());
        QVERIFY(SampleSite::make(work.path(), &site));
        nginx = std::make_unique<NginxRunner>(nginxPrefix.path());
        nginx->addServer(site.mirrorRoot);
        nginx->addServer(site.mirrorRoot);
        QString error;
        QVERIFY2(nginx->start(&error), qPrintable(error));
    }
    void cleanupTestCase() { InstallLayout::setAppRootPath(QString()); }

    void versionLabel_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("alpha");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("startEnabled");
        QTest::newRow("version-from-command-line")
            << QStringList{"client_linux_amd64", "130"} << QString()
            << QStringList{"You are currently on Stable channel."} << true;
        QTest::newRow("unattended-with-name")
            << QStringList{"--nouser", "client_linux_amd64", "130", "1.3.0", "<b>news</b>"}
            << QString()
            << QStringList{"Update to Quillon 1.3.0", "You are currently on Stable channel."}
            << false;
        QTest::newRow("alpha") << QStringList{"client_linux_amd64", "130"}
                               << QStringLiteral("http://127.0.0.1:9/alpha")
                               << QStringList{"You are currently on Alpha channel."} << true;
    }
    void versionLabel() {
        QFETCH(QStringList, args);
        QFETCH(QString, alpha);
        QFETCH(QStringList, expected);
        QFETCH(bool, startEnabled);
        const QString dir = freshInstallation();
        if (!alpha.isEmpty()) {
            QSettings ini(dir + QStringLiteral("/update.ini"), QSettings::IniFormat);
            ini.setValue(QStringLiteral("Channel/alpha"), alpha);
            ini.setValue(QStringLiteral("Channel/alphaRevno"), 130);
        }
        Configuration config;
        configure(config, args);
        MainWindow window(config);
        window.setUIToConfigSpecs();
        window.setNews();
        QLabel* label = child<QLabel>(window, "versionLabel");
        QTextDocument doc;
        doc.setHtml(label->text());
        QCOMPARE(doc.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
        QCOMPARE(child<QPushButton>(window, "startButton")->isEnabled(), startEnabled);
    }

    // Ready -> Running -> Restart (a failed run) -> Running -> Done -> the client starts.
    void startButtonThroughItsStates() {
        const QString dir = freshInstallation();
        // A plain file where 130 needs the directory plugins/: the replace step fails.
        QFile blocker(dir + QStringLiteral("/plugins"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        Configuration config;
        configure(config, {QStringLiteral("client_linux_amd64"), QStringLiteral("130")});
        MainWindow window(config);
        window.setUIToConfigSpecs();
        window.show();
        QPushButton* start = child<QPushButton>(window, "startButton");
        auto* progress = child<QProgressBar>(window, "totalProgressBar");
        auto* log = child<QPlainTextEdit>(window, "outputTextEdit");
        BoxAnswerer boxes;

        QCOMPARE(start->text(), QStringLiteral("Start Update"));
        QVERIFY(start->isEnabled());
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY(!start->isEnabled());

        QTRY_COMPARE_WITH_TIMEOUT(start->text(), QStringLiteral("Restart"), 30000);
        QVERIFY(start->isEnabled());
        QCOMPARE(progress->value(), 0);
        QVERIFY(log->toPlainText().contains(QStringLiteral("Update cancelled")));
        QTRY_VERIFY(boxes.seen.contains(
            QStringLiteral("Update: Update cancelled. Push \"Details\" to check reasons.")));
        QVERIFY(!window.findChild<UpdateEngine*>()->busy());
        // The failed run left the installation as it was.
        const TreeSnapshot before = SampleSite::clientFiles(site.build120);
        TreeSnapshot now = SampleSite::clientFiles(dir);
        now.remove(QStringLiteral("plugins"));
        QVERIFY2(now == before, qPrintable(describeDifference(before, now)));

        QVERIFY(QFile::remove(dir + QStringLiteral("/plugins")));
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY(!start->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(start->text(), QStringLiteral("Start Quillon"), 30000);
        QVERIFY(start->isEnabled());
        QCOMPARE(window.focusWidget(), start);
        QCOMPARE(progress->value(), 1000);
        const TreeSnapshot expected = SampleSite::clientFiles(site.build130);
        const TreeSnapshot actual = SampleSite::clientFiles(dir);
        QVERIFY2(actual == expected, qPrintable(describeDifference(expected, actual)));

        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY(!window.isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(readAll(SampleSite::clientLogPath(dir)),
                                  QByteArray("Quillon client 130 started\n"), 5000);
    }

    void unattendedRunStartsTheClient_data() {
        QTest::addColumn<bool>("changeLogOpen");
        QTest::newRow("client-starts") << false;
        QTest::newRow("change-log-open") << true;
    }
    void unattendedRunStartsTheClient() {
        QFETCH(bool, changeLogOpen);
        const QString dir = freshInstallation();
        Configuration config;
        configure(config, {QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"),
                           QStringLiteral("130")});
        QCOMPARE(config.noUserMode, 1);
        MainWindow window(config);
        window.setUIToConfigSpecs();
        window.show();
        QPushButton* start = child<QPushButton>(window, "startButton");
        QVERIFY(!start->isEnabled());
        if (changeLogOpen)
            QTest::mouseClick(child<QPushButton>(window, "changelogButton"), Qt::LeftButton);

        QSignalSpy finished(window.findChild<UpdateEngine*>(), &UpdateEngine::updateFinished);
        window.onAutoStartUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QElapsedTimer sinceSuccess;
        sinceSuccess.start();
        const QString clientLog = SampleSite::clientLogPath(dir);
        if (changeLogOpen) {
            QVERIFY(ChangeLogViewer::instance());
            QCOMPARE(start->text(), QStringLiteral("Start Quillon"));
            QVERIFY(start->isEnabled());
            QTest::qWait(1500);
            QVERIFY(!QFile::exists(clientLog));
            QVERIFY(window.isVisible());
            delete ChangeLogViewer::instance();
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(clientLog), 5000);
            QVERIFY2(sinceSuccess.elapsed() >= 900,
                     qPrintable(QString::number(sinceSuccess.elapsed())));
            QVERIFY(!window.isVisible());
        }
    }

    // Closing asks while a run goes on: No keeps it running, Yes cancels it and the program
    // quits once the cancel is complete, without the cancel box.
    void closeDuringRun() {
        FaultHttpServer slowMirror(site.mirrorRoot);
        QVERIFY(slowMirror.listen());
        const QString slowPath = SampleSite::dripLargeFile(slowMirror, 4000);
        const QString dir = freshInstallation({slowMirror.baseUrl()});

        Configuration config;
        configure(config, {QStringLiteral("client_linux_amd64"), QStringLiteral("130")});
        MainWindow window(config);
        window.setUIToConfigSpecs();
        window.show();
        auto* engine = window.findChild<UpdateEngine*>();
        BoxAnswerer boxes;

        QTest::mouseClick(child<QPushButton>(window, "startButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(slowMirror.requestCount(slowPath) > 0, 15000);

        boxes.answers = {QMessageBox::No};
        window.close();
        QVERIFY(window.isVisible());
        QVERIFY(engine->busy());
        QCOMPARE(boxes.seen.size(), 1);
        QVERIFY(boxes.seen.first().startsWith(QStringLiteral("Question: <p>Update in progress.")));

        boxes.answers = {QMessageBox::Yes};
        QTimer::singleShot(0, &window, &QWidget::close);
        Watchdog watchdog(20000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(boxes.seen.size(), 2);
        QVERIFY(!engine->busy());
        // The cancelled run undid its changes.
        const TreeSnapshot expected = SampleSite::clientFiles(site.build120);
        const TreeSnapshot actual = SampleSite::clientFiles(dir);
        QVERIFY2(actual == expected, qPrintable(describeDifference(expected, actual)));
        // With nothing running the window closes without a question.
        QVERIFY(window.close());
        QCOMPARE(boxes.seen.size(), 2);
    }

    // Exit codes other than 0 promise an unchanged installation: a fatal error keeps the
    // unattended start from starting, and one that comes during a run ends the program only after
    // the run has rolled back, or finished when it was past undoing.
    void fatalErrorsEndTheProgram_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("during"); // the run's line at which the error comes
        QTest::addColumn<int>("exitCode");
        QTest::newRow("configuration") << "configuration"
                                       << "broken"
                                       << "" << 1;
        QTest::newRow("engine") << "engine"
                                << "broken"
                                << "" << 2;
        QTest::newRow("invalid-proxy-unattended")
            << "proxy"
            << "'http://[::1' is an invalid proxy specification"
            << "" << 2;
        QTest::newRow("during-replacement") << "run"
                                            << "broken"
                                            << "Starting file updates" << 2;
        QTest::newRow("during-deletion") << "run"
                                         << "broken"
                                         << "Starting deleting files" << 0;
    }
    void fatalErrorsEndTheProgram() {
        QFETCH(QString, source);
        QFETCH(QString, text);
        QFETCH(QString, during);
        QFETCH(int, exitCode);
        const QString dir = freshInstallation();
        if (source == QLatin1String("proxy"))
            QSettings(dir + QStringLiteral("/update.ini"), QSettings::IniFormat)
                .setValue(QStringLiteral("update/proxy"), QStringLiteral("http://[::1"));
        Configuration config;
        const bool unattended = source == QLatin1String("proxy") || source == QLatin1String("run");
        if (unattended)
            configure(config, {QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"),
                               QStringLiteral("130")});
        MainWindow window(config);
        window.setUIToConfigSpecs();
        window.show();
        auto* engine = window.findChild<UpdateEngine*>();
        BoxAnswerer boxes;
        connect(engine, &UpdateEngine::message, &window, [engine, during](const QString& line) {
            if (!during.isEmpty() && line == during)
                QMetaObject::invokeMethod(
                    engine, [engine] { emit engine->fatalError(QStringLiteral("broken")); },
                    Qt::QueuedConnection);
        });
        // The proxy's fatal error is already queued: the unattended start comes due while its box
        // is open.
        if (unattended)
            QTimer::singleShot(0, &window, &MainWindow::onAutoStartUpdate);
        else
            QTimer::singleShot(0, &window, [&] {
                if (source == QLatin1String("engine"))
                    emit engine->fatalError(text);
                else
                    emit config.fatalError(text);
            });
        Watchdog watchdog(30000);
        QCOMPARE(QCoreApplication::exec(), exitCode);
        QCOMPARE(boxes.seen, QStringList{QStringLiteral("Error: ") + text});
        QVERIFY(!engine->busy());
        if (exitCode == 0)
            return;
        if (source == QLatin1String("run"))
            QVERIFY(child<QPlainTextEdit>(window, "outputTextEdit")
                        ->toPlainText()
                        .contains(QStringLiteral("User aborted update")));
        const TreeSnapshot expected = SampleSite::clientFiles(site.build120);
        const TreeSnapshot actual = SampleSite::clientFiles(dir);
        QVERIFY2(actual == expected, qPrintable(describeDifference(expected, actual)));
    }

    // The window asks whether to repeat a failed version query; the query is repeated only on
    // Retry, and Abort ends the parse silently.
    void versionQueryFailure_data() {
        QTest::addColumn<QList<QMessageBox::StandardButton>>("answers");
        QTest::addColumn<bool>("answered"); // the server answers from the second query on
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("boxes");
        QTest::newRow("abort") << QList<QMessageBox::StandardButton>{QMessageBox::Abort} << false
                               << false << 1;
        QTest::newRow("retry-then-abort")
            << QList<QMessageBox::StandardButton>{QMessageBox::Retry, QMessageBox::Abort} << false
            << false << 2;
        QTest::newRow("retry-then-answer")
            << QList<QMessageBox::StandardButton>{QMessageBox::Retry} << true << true << 1;
    }
    void versionQueryFailure() {
        QFETCH(QList<QMessageBox::StandardButton>, answers);
        QFETCH(bool, answered);
        QFETCH(bool, result);
        QFETCH(int, boxes);
        const QString dir = freshInstallation();
        DatagramPeer peer;
        peer.setAnswer(QByteArray("3\0", 2), "120#1.2.0,131#1.3.1");
        peer.setAnswer(QByteArray("*\0", 2), "news");
        QSettings(dir + QStringLiteral("/update.ini"), QSettings::IniFormat)
            .setValue(QStringLiteral("update/versionPort"), peer.port());
        Configuration config;
        config.versionQueryTimeoutMs = 200;
        MainWindow window(config);
        BoxAnswerer box;
        box.answers = answers;
        // Not listening yet: the first query fails at once.
        if (answered)
            connect(&config, &Configuration::versionQueryFailed, &window,
                    [&peer] { peer.start(); });
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QCOMPARE(config.parseCommandLineOptions({QStringLiteral("update")}), result);
        const QString question =
            QStringLiteral("Error: Failed to query latest client\nversion from update server.");
        QCOMPARE(box.seen, QStringList(boxes, question));
        QCOMPARE(box.buttons, QList<QMessageBox::StandardButtons>(boxes, QMessageBox::Retry |
                                                                             QMessageBox::Abort));
        QCOMPARE(box.hadDefault, QList<bool>(boxes, false));
        QCOMPARE(config.clientVersion, result ? 120 : 0);
        QCOMPARE(fatal.size(), 0);
    }

    // The proxy setting has no credentials; the user types them into the dialog, which comes
    // only once even when they are wrong.
    void proxyDialog_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("endButton");
        QTest::newRow("right") << "secret"
                               << "Start Quillon";
        QTest::newRow("wrong") << "guess"
                               << "Restart";
    }
    void proxyDialog() {
        QFETCH(QString, password);
        QFETCH(QString, endButton);
        AuthProxy proxy("u", "secret");
        QVERIFY(proxy.listen());
        const QString dir = freshInstallation();
        const QString address = QStringLiteral("127.0.0.1:%1").arg(proxy.port());
        {
            QSettings settings(dir + QStringLiteral("/update.ini"), QSettings::IniFormat);
            settings.setValue(QStringLiteral("update/proxy"), address);
        }
        Configuration config;
        configure(config, {QStringLiteral("client_linux_amd64"), QStringLiteral("130")});
        MainWindow window(config);
        window.setUIToConfigSpecs();
        window.show();
        BoxAnswerer boxes;
        QStringList asked;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog->objectName() != QStringLiteral("proxyDialog") ||
                dialog->property("answered").toBool())
                return;
            dialog->setProperty("answered", true);
            asked << dialog->findChild<QLabel*>()->text();
            dialog->findChild<QLineEdit*>(QStringLiteral("proxyUserEdit"))->setText("u");
            dialog->findChild<QLineEdit*>(QStringLiteral("proxyPasswordEdit"))->setText(password);
            QMetaObject::invokeMethod(static_cast<QDialog*>(dialog), &QDialog::accept,
                                      Qt::QueuedConnection);
        });
        answer.start(20);
        QPushButton* start = child<QPushButton>(window, "startButton");
        QTest::mouseClick(start, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(start->text(), endButton, 30000);
        QCOMPARE(asked, QStringList{QStringLiteral("The proxy %1 asks for a user name and "
                                                   "password.")
                                        .arg(address)});
        const QString advice =
            QStringLiteral("The proxy %1 wants a valid user name and password").arg(address);
        QCOMPARE(child<QPlainTextEdit>(window, "outputTextEdit")->toPlainText().contains(advice),
                 password != QStringLiteral("secret"));
        QCOMPARE(proxy.forwarded > 0, password == QStringLiteral("secret"));
    }

    void detailsToggleScrollsToTheEnd() {
        freshInstallation();
        Configuration config;
        MainWindow window(config);
        window.show();
        auto* log = child<QPlainTextEdit>(window, "outputTextEdit");
        QPushButton* details = child<QPushButton>(window, "detailsButton");
        QVERIFY(!log->isVisible());
        QStringList lines;
        const auto add = [&](int count) {
            for (int i = 0; i < count; ++i) {
                lines << QStringLiteral("line %1 <b>&amp;</b> é").arg(lines.size());
                window.onAppendText(lines.last());
            }
        };
        // The hidden log only keeps its lines; they go in once it is opened, and while it is
        // open, as they come: in order and as plain text, however many arrive at once.
        add(200);
        QTest::qWait(150);
        QCOMPARE(log->toPlainText(), QString());
        QTest::mouseClick(details, Qt::LeftButton);
        QVERIFY(log->isVisible());
        QTRY_COMPARE(log->toPlainText(), lines.join(QLatin1Char('\n')));
        add(100);
        QTRY_COMPARE(log->toPlainText(), lines.join(QLatin1Char('\n')));
        log->verticalScrollBar()->setValue(0);
        QTest::mouseClick(details, Qt::LeftButton);
        QVERIFY(!log->isVisible());
        QTest::mouseClick(details, Qt::LeftButton);
        QVERIFY(log->isVisible());
        QScrollBar* bar = log->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        QTRY_COMPARE(bar->value(), bar->maximum());
        QVERIFY(log->maximumHeight() == 100);
    }

    void downloadLabels() {
        freshInstallation();
        Configuration config;
        MainWindow window(config);
        window.show();
        auto* size = child<QLabel>(window, "downloadSizeLabel");
        auto* speed = child<QLabel>(window, "downloadSpeedLabel");
        QVERIFY(!size->isVisible() && !speed->isVisible());
        window.onDownloadProgress(2500, 9999, 1999, true);
        QVERIFY(size->isVisible() && speed->isVisible());
        QCOMPARE(size->text(),
                 QStringLiteral("<span style=\"font-size:small;\">2 KB / 9 KB</span>"));
        QCOMPARE(speed->text(), QStringLiteral("<span style=\"font-size:small;\">1 KB/s</span>"));
        window.onDownloadProgress(0, 0, 0, false);
        QVERIFY(!size->isVisible() && !speed->isVisible());
        QCOMPARE(size->text(),
                 QStringLiteral("<span style=\"font-size:small;\">2 KB / 9 KB</span>"));
        window.onDownloadProgress(quint64(5) << 40, quint64(6) << 40, 123456789, true);
        QCOMPARE(size->text(), QStringLiteral("<span style=\"font-size:small;\">5497558138 KB / "
                                              "6597069766 KB</span>"));
        QCOMPARE(speed->text(),
                 QStringLiteral("<span style=\"font-size:small;\">123456 KB/s</span>"));
        window.onProgressUpdate(0.999);
        window.onProgressUpdate(0.4567);
        QTRY_COMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 456);
    }

    void bannerTooltipAndUrl() {
        freshInstallation();
        Configuration config;
        MainWindow window(config);
        auto* banner = child<UrlClickLabel>(window, "banner");
        window.onBannerFound("not an image", QStringLiteral("https://shop.example/x"));
        QVERIFY(banner->toolTip().isEmpty());
        QVERIFY(banner->pixmap().isNull());

        window.onBannerFound(readAll(sourcePath(QStringLiteral("scripts/demo-data/banner.png"))),
                             QStringLiteral("https://shop.example:8443/deals?id=4"));
        QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://shop.example\""));
        QCOMPARE(banner->pixmap().size(), QSize(468, 60));
        UrlCatcher catcher;
        QTest::mouseClick(banner, Qt::LeftButton);
        QCOMPARE(catcher.urls,
                 QList<QUrl>{QUrl(QStringLiteral("https://shop.example:8443/deals?id=4"))});
    }

    void activationBySecondInstance() {
        freshInstallation();
        Configuration config;
        MainWindow window(config);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &other);

        // Another message does not move the window.
        QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("hello")));
        QTest::qWait(200);
        QCOMPARE(QApplication::activeWindow(), &other);

        QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
        QTRY_COMPARE(QApplication::activeWindow(), &window);
    }
};

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
