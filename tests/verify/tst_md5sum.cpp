#include "support/files.h"
#include "verify/md5sum.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <map>

#include <sys/stat.h>

namespace {
QString md5Of(const QByteArray& data, qsizetype piece) {
    Md5Sum sum;
    sum.add(nullptr, 0);
    for (qsizetype at = 0; at < data.size(); at += piece)
        sum.add(data.constData() + at, std::size_t(qMin(piece, data.size() - at)));
    return sum.hexResult();
}
} // namespace

class TstMd5Sum : public QObject {
    Q_OBJECT
private slots:
    void digest_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");
        // The published test suite of the algorithm.
        QTest::newRow("empty") << QByteArray() << QString("d41d8cd98f00b204e9800998ecf8427e");
        QTest::newRow("a") << QByteArray("a") << QString("0cc175b9c0f1b6a831c399e269772661");
        QTest::newRow("abc") << QByteArray("abc") << QString("900150983cd24fb0d6963f7d28e17f72");
        QTest::newRow("message digest")
            << QByteArray("message digest") << QString("f96b697d7cb7938d525a2f31aaf161d0");
        QTest::newRow("alphabet") << QByteArray("abcdefghijklmnopqrstuvwxyz")
                                  << QString("c3fcd3d76192e4007dfb496cca67e13b");
        QTest::newRow("80 digits")
            << QByteArray("1234567890").repeated(8) << QString("57edf4a22be3c955ac49da2e2107b67a");
        // Lengths around the padding's edges (55, 56, 64 bytes), and more than one block.
        for (const qsizetype size : {55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 1 << 20})
            QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(size)))
                << noise(size) << md5(noise(size));
    }
    // The digest does not depend on how the data is cut into pieces.
    void digest() {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        for (const qsizetype piece : {1, 3, 63, 64, 65, 4096, 1 << 30})
            QCOMPARE(md5Of(data, piece), expected);
    }
    // Many files at once, in every width the processor has: more files than lanes, so that lanes
    // take new files while others are midway; sizes at the edges of a block and of a lane's read;
    // files that cannot be hashed, a pipe among them; and a last large file that ends alone.
    void lanes_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<QList<qsizetype>>("sizes");
        QList<qsizetype> many{0, 1, 55, 56, 63, 64, 65, 127, 128, 65535, 65536, 65537, 200000};
        for (int i = 0; i < 40; ++i)
            many.append(qsizetype(i) * 7919 % 70000);
        many.append(3 << 20);
        for (const int width : {4, 8, 16}) {
            QTest::newRow(qPrintable(QStringLiteral("%1 lanes, many files").arg(width)))
                << width << many;
            QTest::newRow(qPrintable(QStringLiteral("%1 lanes, 3 files").arg(width)))
                << width << QList<qsizetype>{100000, 64, 70000};
        }
    }
    void lanes() {
        QFETCH(int, width);
        QFETCH(QList<qsizetype>, sizes);
        if (width > Md5Lanes::widest())
            QSKIP("the processor has fewer lanes");
        QTemporaryDir dir;
        QCOMPARE(
            ::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("pipe"))).constData(), 0600), 0);
        QStringList paths;
        QStringList expected;
        for (int i = 0; i < sizes.size(); ++i) {
            const QByteArray data = noise(sizes[i], quint32(i));
            paths.append(dir.filePath(QString::number(i)));
            QVERIFY(writeFile(paths.last(), data));
            expected.append(md5(data));
            // Ones that cannot be hashed, between the others.
            if (i % 9 == 4) {
                paths.append(dir.filePath(QStringLiteral("missing")));
                expected.append(QString());
                paths.append(dir.path());
                expected.append(QString());
                // Nobody writes to it: opening it must not wait.
                paths.append(dir.filePath(QStringLiteral("pipe")));
                expected.append(QString());
            }
        }
        std::size_t given = 0;
        std::map<std::size_t, QString> sums;
        Md5Lanes::hashFiles(
            [&](QString& path, std::size_t& id) {
                if (given == std::size_t(paths.size()))
                    return false;
                path = paths[qsizetype(given)];
                // Ids are the caller's: any value, not only positions.
                id = 1000 + given++;
                return true;
            },
            [&](std::size_t id, const QString& sum) { QVERIFY(sums.emplace(id, sum).second); },
            width);
        QCOMPARE(sums.size(), std::size_t(paths.size()));
        for (qsizetype i = 0; i < paths.size(); ++i)
            QCOMPARE(sums[1000 + std::size_t(i)], expected[i]);
    }
};

QTEST_GUILESS_MAIN(TstMd5Sum)
#include "tst_md5sum.moc"
