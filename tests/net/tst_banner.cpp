#include "net/banner.h"
#include "support/bannerpeer.h"

#include <QSignalSpy>
#include <QTest>

class TstBanner : public QObject {
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void strangerIgnored();
    void retriesOnceThenGivesUp();
    void destroyedDuringLookup();
};

void TstBanner::answers_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("expected"); // empty: no banner

    QTest::newRow("image and click address")
        << QByteArray("http://127.0.0.1/b.png,http://quillon.example/")
        << QStringList{"http://127.0.0.1/b.png", "http://quillon.example/"};
    QTest::newRow("empty image address is passed on")
        << QByteArray(",http://quillon.example/") << QStringList{"", "http://quillon.example/"};
    QTest::newRow("one field") << QByteArray("http://127.0.0.1/b.png") << QStringList{};
    QTest::newRow("three fields") << QByteArray("a,b,c") << QStringList{};
}

void TstBanner::answers() {
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, expected);
    BannerPeer peer;
    peer.answer = answer;
    Banner banner(nullptr, "127.0.0.1", peer.port(), 300);
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QTRY_COMPARE(peer.requests.size(), 1);
    QCOMPARE(peer.requests.first(), QByteArray("\x01\x01", 2));
    if (expected.isEmpty()) {
        // Any answer ends the query: no second request after the time-out, and no banner.
        QTest::qWait(600);
        QCOMPARE(peer.requests.size(), 1);
        QCOMPARE(found.size(), 0);
    } else {
        QTRY_COMPARE(found.size(), 1);
        QCOMPARE(found.first().at(0).toString(), expected.at(0));
        QCOMPARE(found.first().at(1).toString(), expected.at(1));
    }
}

void TstBanner::strangerIgnored() {
    BannerPeer peer;
    peer.answer = "http://evil.example/x.png,http://evil.example/";
    peer.fromStranger = true;
    Banner banner(nullptr, "127.0.0.1", peer.port(), 60000);
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QTRY_COMPARE(peer.requests.size(), 1);
    QTest::qWait(100);
    QCOMPARE(found.size(), 0);
    // The query is still waiting: the real server's answer counts.
    peer.server.writeDatagram("http://127.0.0.1/b.png,http://quillon.example/", peer.client,
                              peer.clientPort);
    QTRY_COMPARE(found.size(), 1);
    QCOMPARE(found.first().at(0).toString(), QString("http://127.0.0.1/b.png"));
}

void TstBanner::retriesOnceThenGivesUp() {
    BannerPeer peer;
    Banner banner(nullptr, "127.0.0.1", peer.port(), 100);
    banner.run();
    QTRY_COMPARE(peer.requests.size(), 2);
    QTest::qWait(400);
    QCOMPARE(peer.requests.size(), 2);
}

void TstBanner::destroyedDuringLookup() {
    // The window may go away before the host is resolved: the lookup dies with the query (the
    // sanitizer build also sees that nothing of it is left behind).
    BannerPeer peer;
    for (const char* host : {"localhost", "127.0.0.1"}) {
        auto* banner = new Banner(nullptr, host, peer.port(), 100);
        banner->run();
        delete banner;
    }
    QTest::qWait(300);
    QCOMPARE(peer.requests.size(), 0);
}

QTEST_GUILESS_MAIN(TstBanner)
#include "tst_banner.moc"
