#include "support/files.h"
#include "verify/md5sum.h"

#include <QTest>

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
};

QTEST_GUILESS_MAIN(TstMd5Sum)
#include "tst_md5sum.moc"
