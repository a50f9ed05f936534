#include "config/updatechannel.h"
#include "net/updatechecker.h"
#include "support/datagrampeer.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>

using Pairs = QList<QPair<QString, QString>>;

namespace {
const QByteArray VersionRequest("3\0", 2);
const QByteArray NewsRequest("*\0", 2);
} // namespace

class TstUpdateChecker : public QObject {
    Q_OBJECT

private slots:
    void versionAnswer_data();
    void versionAnswer();
    void newsAnswer_data();
    void newsAnswer();
    void datagramFromThirdSocketIgnored();
    void failedQuery_data();
    void failedQuery();
    void retryStartsAfresh();
};

void TstUpdateChecker::versionAnswer_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<Pairs>("pairs");
    QTest::addColumn<QString>("alphaVersion");

    QTest::newRow("three channels")
        << QByteArray("120#1.2.0,121#1.2.1,130#1.3.0")
        << Pairs{{"120", "1.2.0"}, {"121", "1.2.1"}, {"130", "1.3.0"}} << "130";
    // No pairs: the query fails as if nobody had answered.
    QTest::newRow("empty") << QByteArray("") << Pairs{} << "";
    QTest::newRow("empty before a zero byte") << QByteArray("\0"
                                                            "120#a",
                                                            6)
                                              << Pairs{} << "";
    QTest::newRow("two fields") << QByteArray("120#a,121#b") << Pairs{{"120", "a"}, {"121", "b"}}
                                << "";
    QTest::newRow("no hash") << QByteArray("120") << Pairs{{"120", ""}} << "";
    QTest::newRow("hash at end") << QByteArray("120#") << Pairs{{"120", ""}} << "";
    QTest::newRow("hash at start") << QByteArray("#1.2.0") << Pairs{{"", "1.2.0"}} << "";
    QTest::newRow("second hash stays in name")
        << QByteArray("120#a#b") << Pairs{{"120", "a#b"}} << "";
    QTest::newRow("empty fields kept")
        << QByteArray(",,130#x") << Pairs{{"", ""}, {"", ""}, {"130", "x"}} << "130";
    QTest::newRow("no trimming") << QByteArray(" 120 # a ") << Pairs{{" 120 ", " a "}} << "";
    QTest::newRow("zero byte ends the text")
        << QByteArray("120#a\0,121#b,130#c", 18) << Pairs{{"120", "a"}} << "";
    QTest::newRow("latin-1") << QByteArray("120#\xe9t\xe9") << Pairs{{"120", "\u00e9t\u00e9"}}
                             << "";

    // 511 bytes survive: "1,1,...,1" has 256 fields in 511 bytes; a further ",9" is cut.
    QByteArray exact = QByteArray("1,").repeated(255) + "1";
    QCOMPARE(exact.size(), 511);
    QTest::newRow("511 bytes") << exact << Pairs(256, {"1", ""}) << "1";
    Pairs cut(255, {"1", ""});
    cut.append(qMakePair(QString("1"), QString()));
    QTest::newRow("cut after 511 bytes") << exact + ",9999#name" << cut << "1";
}

void TstUpdateChecker::versionAnswer() {
    QFETCH(QByteArray, answer);
    QFETCH(Pairs, pairs);
    QFETCH(QString, alphaVersion);

    DatagramPeer peer;
    peer.setAnswer(VersionRequest, answer);
    peer.setAnswer(NewsRequest, "news");
    peer.start();
    UpdateChecker checker("127.0.0.1", peer.port(), 2000);
    QCOMPARE(checker.checkUpdate(), !pairs.isEmpty());
    QCOMPARE(checker.channelVersions, pairs);
    if (pairs.isEmpty()) {
        QCOMPARE(peer.requestCount(NewsRequest), 0);
        return;
    }
    QCOMPARE(checker.getClientVersionByChannel(ChannelAlpha).first, alphaVersion);
    QCOMPARE(checker.getClientVersionByChannel(ChannelStable), pairs.first());
    QCOMPARE(checker.newsText, QString("news"));
}

void TstUpdateChecker::newsAnswer_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("news");

    QTest::newRow("rich text") << QByteArray("<b>Hello</b> <!--URL=http://x/-->")
                               << "<b>Hello</b> <!--URL=http://x/-->";
    QTest::newRow("empty") << QByteArray("") << "";
    QTest::newRow("zero byte") << QByteArray("first\0second", 12) << "first";
    QTest::newRow("latin-1") << QByteArray("Gr\xfc\xdf") << "Gr\u00fc\u00df";
    const QByteArray full = QByteArray(4094, 'a') + 'z';
    QTest::newRow("4095 bytes") << full << QString::fromLatin1(full);
    QTest::newRow("cut after 4095 bytes") << full + "tail" << QString::fromLatin1(full);
}

void TstUpdateChecker::newsAnswer() {
    QFETCH(QByteArray, answer);
    QFETCH(QString, news);

    DatagramPeer peer;
    peer.setAnswer(VersionRequest, "120#1.2.0");
    peer.setAnswer(NewsRequest, answer);
    peer.start();
    UpdateChecker checker("127.0.0.1", peer.port(), 2000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.newsText, news);
    QCOMPARE(peer.requestCount(VersionRequest), 1);
    QCOMPARE(peer.requestCount(NewsRequest), 1);
}

void TstUpdateChecker::datagramFromThirdSocketIgnored() {
    DatagramPeer peer;
    peer.setAnswer(VersionRequest, "120#real");
    peer.setAnswer(NewsRequest, "real news");
    peer.setForgedAnswer("999#forged");
    peer.start();
    UpdateChecker checker("127.0.0.1", peer.port(), 2000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.channelVersions, (Pairs{{"120", "real"}}));
    QCOMPARE(checker.newsText, QString("real news"));
}

void TstUpdateChecker::failedQuery_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("listening");
    // A null answer: the peer does not answer that request.
    QTest::addColumn<QByteArray>("versionAnswer");
    QTest::addColumn<QByteArray>("newsAnswer");
    QTest::addColumn<Pairs>("pairs");
    // Requests the peer should have had; -1 when nobody listens.
    QTest::addColumn<int>("versionRequests");
    QTest::addColumn<int>("newsRequests");

    QTest::newRow("no version answer")
        << "127.0.0.1" << true << QByteArray() << QByteArray() << Pairs{} << 1 << 0;
    // The versions stay for the caller, but the query counts as failed.
    QTest::newRow("no news answer") << "127.0.0.1" << true << QByteArray("120#a,121#b")
                                    << QByteArray() << Pairs{{"120", "a"}, {"121", "b"}} << 1 << 1;
    QTest::newRow("nobody listening")
        << "127.0.0.1" << false << QByteArray() << QByteArray() << Pairs{} << -1 << -1;
    QTest::newRow("host without IPv4 address")
        << "::1" << true << QByteArray("120") << QByteArray("") << Pairs{} << 0 << 0;
}

void TstUpdateChecker::failedQuery() {
    QFETCH(QString, host);
    QFETCH(bool, listening);
    QFETCH(QByteArray, versionAnswer);
    QFETCH(QByteArray, newsAnswer);
    QFETCH(Pairs, pairs);
    QFETCH(int, versionRequests);
    QFETCH(int, newsRequests);

    auto peer = std::make_unique<DatagramPeer>();
    if (!versionAnswer.isNull())
        peer->setAnswer(VersionRequest, versionAnswer);
    if (!newsAnswer.isNull())
        peer->setAnswer(NewsRequest, newsAnswer);
    const quint16 port = peer->port();
    if (listening)
        peer->start();
    else
        peer.reset();
    UpdateChecker checker(host, port, 300);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!checker.checkUpdate());
    // The given time-out, not the default of five seconds.
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(checker.channelVersions, pairs);
    QVERIFY(checker.newsText.isEmpty());
    if (listening) {
        QCOMPARE(peer->requestCount(VersionRequest), versionRequests);
        QCOMPARE(peer->requestCount(NewsRequest), newsRequests);
    }
}

void TstUpdateChecker::retryStartsAfresh() {
    DatagramPeer peer;
    peer.setAnswer(VersionRequest, "120#old");
    peer.start();
    UpdateChecker checker("127.0.0.1", peer.port(), 300);
    QVERIFY(!checker.checkUpdate());
    peer.setAnswer(VersionRequest, "121#new,122#beta");
    peer.setAnswer(NewsRequest, "n");
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.channelVersions, (Pairs{{"121", "new"}, {"122", "beta"}}));
    QCOMPARE(checker.getClientVersionByChannel(ChannelBeta).first, QString("122"));
}

QTEST_GUILESS_MAIN(TstUpdateChecker)
#include "tst_updatechecker.moc"
