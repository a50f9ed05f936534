#include "support/urlcatcher.h"
#include "ui/newsbanner.h"
#include "ui/urlclicklabel.h"

#include <QElapsedTimer>
#include <QTest>

class TstNewsBanner : public QObject {
    Q_OBJECT

private:
    // The first x at which the banner shows a link, scanning from the left; -1 if none.
    static int findLink(const NewsBanner& banner, int y) {
        for (int x = 0; x < banner.width(); ++x)
            if (!banner.anchorAt(QPoint(x, y)).isEmpty())
                return x;
        return -1;
    }

private slots:
    void defaultUrl_data() {
        QTest::addColumn<QString>("news");
        QTest::addColumn<QString>("expected");
        QTest::newRow("comment-and-word") << "<!--URL=https://news.example/a-->Hello"
                                          << "https://news.example/a";
        QTest::newRow("comment-after-text")
            << "Big news <b>today</b><!--URL=http://x.example/?q=1-->"
            << "http://x.example/?q=1";
        QTest::newRow("lower-case-key") << "<!--url=https://news.example/a-->Hello"
                                        << "";
        QTest::newRow("no-equals") << "<!--URL-->Hello"
                                   << "";
        QTest::newRow("other-key") << "<!--LINK=https://news.example/a-->Hello"
                                   << "";
        QTest::newRow("blank-before-key") << "<!-- URL=https://news.example/a-->Hello"
                                          << "";
        // Greedy: the capture runs from the first opening to the last closing.
        QTest::newRow("two-comments") << "<!--URL=https://a.example/-->x<!--note-->"
                                      << "https://a.example/-->x<!--note";
        QTest::newRow("second-comment-has-key") << "<!--note-->x<!--URL=https://a.example/-->"
                                                << "";
        QTest::newRow("comment-over-lines") << "<!--URL=https://a.example/b\n-->Hi"
                                            << "https://a.example/b\n";
        QTest::newRow("no-comment") << "Plain <i>news</i>"
                                    << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void defaultUrl() {
        QFETCH(QString, news);
        QFETCH(QString, expected);
        NewsBanner banner;
        banner.setNews(QStringLiteral("<!--URL=https://stale.example/-->old"));
        banner.setNews(news);
        QCOMPARE(banner.defaultUrl(), expected);
    }

    void heightFollowsText() {
        NewsBanner banner;
        QCOMPARE(banner.objectName(), QStringLiteral("NewsBanner"));
        QCOMPARE(banner.minimumHeight(), 16);
        QCOMPARE(banner.maximumHeight(), 16);
        banner.setNews(QStringLiteral("<div style=\"font-size:30px\">Large</div>"));
        QVERIFY(banner.minimumHeight() > 30);
        QCOMPARE(banner.maximumHeight(), banner.minimumHeight());
    }

    void clickOpensLinkOrDefault() {
        UrlCatcher catcher;
        NewsBanner banner;
        banner.resize(400, 16);
        banner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&banner));
        banner.setNews(QStringLiteral("<!--URL=https://default.example/-->"
                                      "<a href=\"https://link.example/page\">LINK</a>"
                                      "&nbsp;and plain words after it"));
        const int y = banner.height() / 2;
        // Scanning and clicking happen without the event loop running, so the text stays put.
        const int linkX = findLink(banner, y);
        QVERIFY(linkX >= 0);
        QTest::mouseClick(&banner, Qt::LeftButton, {}, QPoint(linkX + 2, y));
        QTest::mouseClick(&banner, Qt::RightButton, {}, QPoint(2, y));
        QCOMPARE(catcher.urls, QList<QUrl>({QUrl(QStringLiteral("https://link.example/page")),
                                            QUrl(QStringLiteral("https://default.example/"))}));
    }

    void clickWithoutAnyUrlOpensNothing() {
        UrlCatcher catcher;
        NewsBanner banner;
        banner.resize(200, 16);
        banner.setNews(QStringLiteral("just words"));
        QTest::mouseClick(&banner, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(catcher.urls.isEmpty());
    }

    void textScrollsLeftFromTheRightEdge() {
        NewsBanner banner;
        banner.resize(300, 16);
        banner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&banner));
        QElapsedTimer clock;
        clock.start();
        banner.setNews(QStringLiteral("<a href=\"https://link.example/\">LINK</a>"));
        const int y = banner.height() / 2;
        // Starts 10 pixels inside the right edge.
        QCOMPARE(findLink(banner, y), banner.width() - 10);
        // It moves, and never faster than 50 pixels a second (a loaded machine may be slower).
        QTRY_VERIFY(banner.width() - 10 - findLink(banner, y) >= 10);
        const int moved = banner.width() - 10 - findLink(banner, y);
        QVERIFY2(moved <= clock.elapsed() * 50 / 1000 + 2,
                 qPrintable(QStringLiteral("%1 pixels in %2 ms").arg(moved).arg(clock.elapsed())));
    }

    void urlClickLabelOpensItsUrl() {
        UrlCatcher catcher;
        UrlClickLabel label;
        label.resize(50, 20);
        label.setUrl(QStringLiteral("https://quillon.example/"));
        QTest::mouseClick(&label, Qt::LeftButton);
        QTest::mouseClick(&label, Qt::MiddleButton);
        label.setUrl(QString());
        QTest::mouseClick(&label, Qt::LeftButton);
        QCOMPARE(catcher.urls, QList<QUrl>(2, QUrl(QStringLiteral("https://quillon.example/"))));
    }
};

QTEST_MAIN(TstNewsBanner)
#include "tst_newsbanner.moc"
