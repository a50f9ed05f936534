#include "config/settings.h"
#include "download/mirrors.h"
#include "download/processrandom.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TstMirrors : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString writeIni(const QByteArray& text) {
        const QString path = dir.filePath(QStringLiteral("mirrors.ini"));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(text);
        return path;
    }
    static Mirrors* pool(int mirrorCount, QObject* parent) {
        auto* m = new Mirrors(parent);
        for (int i = 0; i < mirrorCount; ++i) {
            FTPSiteAccessData d;
            d.name = QStringLiteral("m%1").arg(i);
            d.retries = 2;
            m->mirrors.append(d);
        }
        return m;
    }

private slots:
    void initDefault_data() {
        QTest::addColumn<QByteArray>("ini");
        // "name|url|retries" per mirror, in pool order.
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("slash-or-not") << QByteArray("[mirrors]\nsize=2\n1\\mirror=a\n2\\mirror=b\n"
                                                    "[a]\nurl=http://h/x/\n[b]\nurl=http://h/x\n")
                                      << QStringList{"a|http://h/x/123|2", "b|http://h/x/123|2"};
        QTest::newRow("retries") << QByteArray("[mirrors]\nsize=5\n1\\mirror=a\n2\\mirror=b\n"
                                               "3\\mirror=c\n4\\mirror=d\n5\\mirror=e\n"
                                               "[a]\nretries=0\n[b]\nretries=-1\n[c]\nretries=5\n"
                                               "[d]\nretries=junk\n[e]\nretries=1\n")
                                 << QStringList{"a|/123|2", "b|/123|2", "c|/123|5", "d|/123|2",
                                                "e|/123|1"};
        QTest::newRow("blank-names-skipped")
            << QByteArray("[mirrors]\nsize=3\n1\\mirror=\"   \"\n2\\mirror=\" b \"\n3\\mirror=\n"
                          "[b]\nurl=http://b\n")
            << QStringList{"b|http://b/123|2"};
        // The size key only caps the indices; the elements present are read, in index order.
        QTest::newRow("huge-size") << QByteArray("[mirrors]\nsize=2147483647\n2\\mirror=b\n"
                                                 "1\\mirror=a\n[a]\nurl=http://a\n")
                                   << QStringList{"a|http://a/123|2", "b|/123|2"};
        QTest::newRow("size-caps-elements")
            << QByteArray("[mirrors]\nsize=2\n1\\mirror=a\n3\\mirror=c\n4\\mirror=d\n")
            << QStringList{"a|/123|2"};
        QTest::newRow("negative-size")
            << QByteArray("[mirrors]\nsize=-1\n1\\mirror=a\n") << QStringList{};
        QTest::newRow("empty-array") << QByteArray("[mirrors]\nsize=0\n") << QStringList{};
        QTest::newRow("no-file") << QByteArray() << QStringList{};
    }
    void initDefault() {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, expected);
        const QString path =
            ini.isNull() ? dir.filePath(QStringLiteral("absent.ini")) : writeIni(ini);
        Mirrors m;
        QVERIFY(m.initDefault(Settings::readMirrorsFile(path), 123));
        QStringList actual;
        for (const FTPSiteAccessData& d : std::as_const(m.mirrors)) {
            actual << QStringLiteral("%1|%2|%3").arg(d.name, d.url).arg(d.retries);
            QCOMPARE(d.timeout, 15);
            QCOMPARE(d.maxUses, 1);
            QCOMPARE(d.useCount, 0);
            QCOMPARE(d.errorCount, 0);
        }
        QCOMPARE(actual, expected);
    }

    void initAlpha() {
        Settings settings;
        settings.readSettingsFile(writeIni("[Channel]\nalpha=http://alpha.example/files\n"));
        Mirrors m;
        QSignalSpy fatal(&m, &Mirrors::fatalError);
        QVERIFY(m.initAlpha(settings.alphaUrl, 42));
        QCOMPARE(fatal.count(), 0);
        QCOMPARE(m.mirrors.size(), 1);
        QCOMPARE(m.mirrors[0].name, QStringLiteral("Alpha Channel"));
        QCOMPARE(m.mirrors[0].url, QStringLiteral("http://alpha.example/files/42"));
        QCOMPARE(m.mirrors[0].retries, 4);

        Mirrors missing;
        QSignalSpy fatal2(&missing, &Mirrors::fatalError);
        settings.readSettingsFile(writeIni("[Channel]\nbeta=x\n"));
        QVERIFY(!missing.initAlpha(settings.alphaUrl, 42));
        QCOMPARE(fatal2.count(), 1);
        QCOMPARE(fatal2[0][0].toString(),
                 QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        QVERIFY(missing.mirrors.isEmpty());
    }

    void busySlotsSteerTheChoice() {
        Mirrors* m = pool(2, this);
        m->mirrors[0].useCount = 1;
        for (int i = 0; i < 50; ++i) {
            FTPSiteAccessData out;
            QCOMPARE(m->getRandomMirror(out), 0);
            QCOMPARE(out.name, QStringLiteral("m1"));
            QCOMPARE(out.useCount, 1);
            m->releaseMirror(out.name);
        }
        FTPSiteAccessData out;
        QCOMPARE(m->getRandomMirror(out), 0);
        QCOMPARE(m->getRandomMirror(out), 2);
        m->releaseMirror(QStringLiteral("m0"));
        QCOMPARE(m->getRandomMirror(out), 0);
        QCOMPARE(out.name, QStringLiteral("m0"));
        int total = 0, used = 0;
        m->calcUseStats(total, used);
        QCOMPARE(total, 2);
        QCOMPARE(used, 2);
    }

    // Uniform over free slots, and reproducible from the seed.
    void choiceFollowsFreeSlots() {
        Mirrors* m = pool(2, this);
        m->mirrors[0].maxUses = 2;
        auto draw = [m](int n) {
            QString picks;
            for (int i = 0; i < n; ++i) {
                FTPSiteAccessData out;
                m->getRandomMirror(out);
                picks += out.name.back();
                m->releaseMirror(out.name);
            }
            return picks;
        };
        processRandom().seed(1234);
        const QString first = draw(3000);
        processRandom().seed(1234);
        QCOMPARE(draw(3000), first);
        const double share = double(first.count(QLatin1Char('0'))) / first.size();
        QVERIFY2(share > 0.62 && share < 0.71, qPrintable(QString::number(share)));
    }

    void errorsRemoveAtTheLimit() {
        Mirrors* m = pool(1, this);
        QSignalSpy messages(m, &Mirrors::message);
        m->addMirrorError(QStringLiteral("m0"));
        m->addMirrorError(QStringLiteral("m0"));
        QCOMPARE(m->mirrors.size(), 1);
        QCOMPARE(m->mirrors[0].errorCount, 2);
        QCOMPARE(messages.count(), 0);
        m->addMirrorError(QStringLiteral("m0"));
        QVERIFY(m->mirrors.isEmpty());
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages[0][0].toString(),
                 QStringLiteral("Mirror m0 failed too many times, removing"));

        FTPSiteAccessData out;
        QCOMPARE(m->getRandomMirror(out), 1);
        QCOMPARE(m->getRandomMirror(out), 1);
        QCOMPARE(messages.count(), 2);
        QCOMPARE(messages[1][0].toString(),
                 QStringLiteral("There are no (more) known working mirrors available"));
    }

    void unknownNamesAreIgnored() {
        Mirrors* m = pool(2, this);
        m->removeMirror(QStringLiteral("m0"));
        m->removeMirror(QStringLiteral("m0"));
        m->addMirrorError(QStringLiteral("m0"));
        m->releaseMirror(QStringLiteral("nope"));
        QCOMPARE(m->mirrors.size(), 1);
        QCOMPARE(m->getMirrorIndex(QStringLiteral("m1")), 0);
        QCOMPARE(m->getMirrorIndex(QStringLiteral("m0")), -1);
        QCOMPARE(m->mirrors[0].errorCount, 0);
        QCOMPARE(m->mirrors[0].useCount, 0);
    }
};

QTEST_GUILESS_MAIN(TstMirrors)
#include "tst_mirrors.moc"
