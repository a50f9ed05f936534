#include "config/installlayout.h"
#include "config/settings.h"
#include "download/processrandom.h"
#include "support/downloadfixture.h"
#include "support/faulthttpserver.h"
#include "ui/changelogviewer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

Q_DECLARE_METATYPE(FaultRule)

namespace {

const QString Loading = QStringLiteral("Loading...");
const QString Failed = QStringLiteral("Failed to load changelog.");
const QByteArray ChangeLog = "Version 130\n\n- faster start\n- new icons\n";
const QByteArray Markup =
    "<h1>Version 130</h1>\n<p>New <b>icons</b><img src=\"http://127.0.0.1:1/i.png\">"
    "</p>\n";

// The settings as the program reads them from the installation.
Settings installed() {
    Settings settings;
    settings.readFiles();
    return settings;
}

QString shownText(ChangeLogViewer* viewer) {
    return viewer->findChild<QTextEdit*>(QStringLiteral("changeLogTextEdit"))->toPlainText();
}

// The seed with which the viewer draws the mirror at index `last` of `count` only at the end.
quint32 seedDrawingLast(int count, int last) {
    for (quint32 seed = 1;; ++seed) {
        QRandomGenerator generator(seed);
        QList<int> left;
        for (int i = 0; i < count; ++i)
            left.append(i);
        while (left.size() > 1)
            left.removeAt(int(generator.generate() % quint32(left.size())));
        if (left.first() == last)
            return seed;
    }
}

} // namespace

class TstChangeLogViewer : public QObject {
    Q_OBJECT

private:
    QTemporaryDir root;
    QTemporaryDir served;
    FaultHttpServer* server = nullptr;

    QString mirror(const QString& name) const {
        return server->baseUrl() + QLatin1Char('/') + name;
    }
    static QString logPath(const QString& name) {
        return QLatin1Char('/') + name + QStringLiteral("/130/changelog_client.txt");
    }

private slots:
    void initTestCase() {
        QVERIFY(root.isValid() && served.isValid());
        InstallLayout::setAppRootPath(root.path());
        for (const QString& name :
             {QStringLiteral("good"), QStringLiteral("fail"), QStringLiteral("moved"),
              QStringLiteral("redirect"), QStringLiteral("silent"), QStringLiteral("hostile")}) {
            QVERIFY(QDir().mkpath(served.filePath(name + QStringLiteral("/130"))));
            QFile file(served.filePath(name + QStringLiteral("/130/changelog_client.txt")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(ChangeLog);
        }
        server = new FaultHttpServer(served.path(), this);
        QVERIFY(server->listen());
        FaultRule fail;
        fail.status = 500;
        fail.body = QByteArray("broken");
        server->setRule(logPath(QStringLiteral("fail")), fail);
        // A page that says it moved, delivered with status 200.
        FaultRule moved;
        moved.body = QByteArray("<html><body>The document has moved <a href=\"/x\">here</a>"
                                "</body></html>");
        server->setRule(logPath(QStringLiteral("moved")), moved);
        FaultRule redirect;
        redirect.status = 301;
        redirect.headers = {{"Location", (mirror("good") + "/130/changelog_client.txt").toUtf8()}};
        redirect.body = QByteArray("<html><body><h1>301 Moved Permanently</h1></body></html>");
        server->setRule(logPath(QStringLiteral("redirect")), redirect);
        FaultRule silent;
        silent.stallAfter = 0;
        server->setRule(logPath(QStringLiteral("silent")), silent);
    }
    void init() {
        QFile::remove(root.filePath(QStringLiteral("mirrors.ini")));
        QFile::remove(root.filePath(QStringLiteral("update.ini")));
    }
    void cleanup() {
        delete ChangeLogViewer::instance();
        QVERIFY(!ChangeLogViewer::instance());
    }

    void badMirrorsBeforeAGoodOne() {
        const QStringList names = {QStringLiteral("fail"), QStringLiteral("redirect"),
                                   QStringLiteral("silent"), QStringLiteral("good")};
        QStringList urls;
        for (const QString& name : names)
            urls.append(mirror(name));
        writeMirrorsIni(root.filePath(QStringLiteral("mirrors.ini")), urls);
        processRandom().seed(seedDrawingLast(int(names.size()), 3));
        const int before = server->totalRequests();

        QElapsedTimer clock;
        clock.start();
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        ChangeLogViewer* viewer = ChangeLogViewer::instance();
        QVERIFY(viewer);
        QCOMPARE(shownText(viewer), Loading);
        QTRY_COMPARE_WITH_TIMEOUT(shownText(viewer), QString::fromUtf8(ChangeLog), 8000);
        // The silent mirror costs the whole time-out.
        QVERIFY(clock.elapsed() >= 1900);

        const QStringList log = server->requestLog().mid(before);
        QCOMPARE(log.size(), 4);
        QCOMPARE(log.last(), logPath(QStringLiteral("good")));
        for (const QString& name : names)
            QCOMPARE(log.count(logPath(name)), 1);
    }

    void allMirrorsFail() {
        writeMirrorsIni(root.filePath(QStringLiteral("mirrors.ini")),
                        {mirror(QStringLiteral("fail")), mirror(QStringLiteral("moved")),
                         mirror(QStringLiteral("redirect")),
                         QStringLiteral("http://127.0.0.1:1/closed")});
        const int before = server->totalRequests();
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        ChangeLogViewer* viewer = ChangeLogViewer::instance();
        QTRY_COMPARE_WITH_TIMEOUT(shownText(viewer), Failed, 5000);
        QCOMPARE(server->totalRequests() - before, 3);
        // Nothing more is tried afterwards.
        QTest::qWait(100);
        QCOMPARE(server->totalRequests() - before, 3);
    }

    void nothingConfigured() {
        const int before = server->totalRequests();
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        QCOMPARE(shownText(ChangeLogViewer::instance()), Failed);
        QTest::qWait(50);
        QCOMPARE(server->totalRequests(), before);
    }

    void alphaServerIsTheOnlyAddress() {
        // A silent alpha server: one try, then the failure, although the mirrors would work.
        writeMirrorsIni(root.filePath(QStringLiteral("mirrors.ini")),
                        {mirror(QStringLiteral("good"))});
        QSettings ini(root.filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Channel/alpha"), mirror(QStringLiteral("silent")));
        ini.sync();
        const int before = server->totalRequests();
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        QTRY_COMPARE_WITH_TIMEOUT(shownText(ChangeLogViewer::instance()), Failed, 5000);
        QCOMPARE(server->requestLog().mid(before), QStringList{logPath(QStringLiteral("silent"))});
    }

    void trailingSlashAndEmptyUrls() {
        QSettings settings(root.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
        settings.beginWriteArray(QStringLiteral("mirrors"));
        settings.setArrayIndex(0);
        settings.setValue(QStringLiteral("mirror"), QStringLiteral("empty"));
        settings.setArrayIndex(1);
        settings.setValue(QStringLiteral("mirror"), QStringLiteral("slash"));
        settings.endArray();
        settings.setValue(QStringLiteral("slash/url"), mirror(QStringLiteral("good")) + "/");
        settings.sync();
        const int before = server->totalRequests();
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        QTRY_COMPARE(shownText(ChangeLogViewer::instance()), QString::fromUtf8(ChangeLog));
        QCOMPARE(server->requestLog().mid(before), QStringList{logPath(QStringLiteral("good"))});
    }

    void secondOpenDoesNotReload() {
        writeMirrorsIni(root.filePath(QStringLiteral("mirrors.ini")),
                        {mirror(QStringLiteral("good"))});
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        QPointer<ChangeLogViewer> first = ChangeLogViewer::instance();
        QTRY_COMPARE(shownText(first), QString::fromUtf8(ChangeLog));
        const int before = server->totalRequests();
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("999"));
        QCOMPARE(ChangeLogViewer::instance(), first.data());
        QTest::qWait(50);
        QCOMPARE(server->totalRequests(), before);

        // Closing destroys it; the next open starts from scratch with every mirror again.
        first->close();
        QTRY_VERIFY(first.isNull());
        QVERIFY(!ChangeLogViewer::instance());
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        QTRY_COMPARE(shownText(ChangeLogViewer::instance()), QString::fromUtf8(ChangeLog));
        QCOMPARE(server->totalRequests(), before + 1);
    }

    // Mirror content is shown as plain text and only its first MiB; a huge array size in
    // mirrors.ini costs nothing.
    void hostileContent_data() {
        QTest::addColumn<FaultRule>("rule");
        QTest::addColumn<bool>("hugeArraySize");
        QTest::addColumn<QByteArray>("shownStart");
        QTest::addColumn<int>("shownLength");
        QTest::newRow("huge-array-size")
            << FaultRule() << true << ChangeLog << int(ChangeLog.size());
        FaultRule markup;
        markup.body = Markup;
        QTest::newRow("markup-shown-as-text") << markup << false << Markup << int(Markup.size());
        FaultRule endless;
        endless.body = ChangeLog;
        endless.endless = true;
        endless.sendContentLength = false;
        QTest::newRow("endless-body") << endless << false << ChangeLog << 1024 * 1024;
    }
    void hostileContent() {
        QFETCH(FaultRule, rule);
        QFETCH(bool, hugeArraySize);
        QFETCH(QByteArray, shownStart);
        QFETCH(int, shownLength);
        server->setRule(logPath(QStringLiteral("hostile")), rule);
        const QString ini = root.filePath(QStringLiteral("mirrors.ini"));
        QVERIFY(writeMirrorsIni(ini, {mirror(QStringLiteral("hostile"))}));
        if (hugeArraySize) {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::ReadWrite));
            const QByteArray text = file.readAll().replace("size=1", "size=2147483647");
            QVERIFY(file.resize(0) && file.write(text) == text.size());
        }
        const int before = server->totalRequests();
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, installed(), QStringLiteral("130"));
        ChangeLogViewer* viewer = ChangeLogViewer::instance();
        QTRY_VERIFY_WITH_TIMEOUT(shownText(viewer) != Loading, 5000);
        const QString shown = shownText(viewer);
        QCOMPARE(shown.size(), shownLength);
        QVERIFY(shown.startsWith(QString::fromUtf8(shownStart)));
        QCOMPARE(server->totalRequests() - before, 1);
    }

    void sizeFollowsText() {
        ChangeLogViewer viewer;
        QCOMPARE(viewer.size(), QSize(617, 500));
        viewer.load(QStringLiteral("\n\n\n"));
        QCOMPARE(viewer.width(), 617);

        const QFontMetrics metrics(viewer.findChild<QTextEdit*>()->font());
        viewer.load(QStringLiteral("short\nthe longest line of them all\nmid line"));
        QCOMPARE(viewer.width(),
                 metrics.horizontalAdvance(QStringLiteral("the longest line of them all")) + 50);

        QString tall;
        for (int i = 0; i < 500; ++i)
            tall += QStringLiteral("line %1\n").arg(i);
        viewer.load(tall);
        const QRect available = viewer.screen()->availableGeometry();
        QCOMPARE(viewer.height(), qMin(500, available.height()));

        // Very wide text is held to the screen.
        viewer.load(QString(5000, QLatin1Char('x')));
        QCOMPARE(viewer.width(), available.width());
    }
};

QTEST_MAIN(TstChangeLogViewer)
#include "tst_changelogviewer.moc"
