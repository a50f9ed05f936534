// Patches between two versions of a file: made and applied through the shared module, and every
// way a patch can be wrong ends in a failure, never in a file other than the one asked for.
#include "install/deltapatch.h"

#include <QTemporaryDir>
#include <QTest>

#include <zstd.h>

namespace {
QByteArray noise(qsizetype size, quint32 x) {
    QByteArray data(size, Qt::Uninitialized);
    for (char& c : data)
        c = char((x = x * 1103515245u + 12345u) >> 24);
    return data;
}

// The old file with a few scattered changes, about 1% of its bytes.
QByteArray scattered(QByteArray data) {
    for (qsizetype at = 1000; at + 50 < data.size(); at += data.size() / 5)
        data.replace(at, 50, noise(50, quint32(at)));
    return data;
}

bool write(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

DeltaPatch::Sink into(QByteArray* out) {
    return [out](const char* data, size_t size) {
        out->append(data, qsizetype(size));
        return true;
    };
}
} // namespace

class TstDeltaPatch : public QObject {
    Q_OBJECT

private slots:
    void apply_data() {
        QTest::addColumn<QByteArray>("oldData");
        QTest::addColumn<QByteArray>("newData");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("error"); // empty: the result is newData

        const QByteArray base = noise(300000, 1);
        QTest::newRow("scattered changes") << base << scattered(base) << ""
                                           << "";
        QTest::newRow("from an empty file") << QByteArray() << noise(5000, 2) << ""
                                            << "";
        QTest::newRow("to an empty file") << base << QByteArray() << ""
                                          << "";
        QTest::newRow("result of another size") << base << scattered(base) << "size+1"
                                                << "another size";
        QTest::newRow("cut short") << base << scattered(base) << "cut"
                                   << "cut short";
        QTest::newRow("flipped byte") << base << scattered(base) << "flip"
                                      << "";
        QTest::newRow("trailing data") << base << scattered(base) << "append"
                                       << "after the end";
        QTest::newRow("applied to another base") << base << scattered(base) << "base"
                                                 << "";
        QTest::newRow("no result size in the frame") << base << scattered(base) << "no size"
                                                     << "another size";
        QTest::newRow("empty patch") << base << scattered(base) << "empty"
                                     << "cut short";
    }
    void apply() {
        QFETCH(QByteArray, oldData);
        QFETCH(QByteArray, newData);
        QFETCH(QString, damage);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString oldPath = dir.filePath("old"), newPath = dir.filePath("new"),
                      patchPath = dir.filePath("patch");
        QVERIFY(write(oldPath, oldData) && write(newPath, newData));
        QByteArray patch;
        QString why;
        QCOMPARE(int(DeltaPatch::make(oldPath, newPath, newData.size() + 1000, into(&patch), &why)),
                 int(DeltaPatch::Made::Patch));
        if (damage.isEmpty() && newData.size() > 100000)
            QVERIFY2(patch.size() < newData.size() / 20, qPrintable(QString::number(patch.size())));

        qint64 resultSize = newData.size();
        if (damage == "size+1")
            ++resultSize;
        else if (damage == "cut")
            patch.chop(10);
        else if (damage == "flip")
            patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 1);
        else if (damage == "append")
            patch += "more";
        else if (damage == "base")
            QVERIFY(write(oldPath, scattered(noise(300000, 9))));
        else if (damage == "empty")
            patch.clear();
        else if (damage == "no size") {
            ZSTD_CCtx* cctx = ZSTD_createCCtx();
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
            ZSTD_CCtx_refPrefix(cctx, oldData.constData(), size_t(oldData.size()));
            patch.resize(qsizetype(ZSTD_compressBound(size_t(newData.size()))));
            const size_t n = ZSTD_compress2(cctx, patch.data(), size_t(patch.size()),
                                            newData.constData(), size_t(newData.size()));
            ZSTD_freeCCtx(cctx);
            QVERIFY(!ZSTD_isError(n));
            patch.truncate(qsizetype(n));
        }
        QVERIFY(write(patchPath, patch));

        QByteArray result;
        const bool ok = DeltaPatch::apply(oldPath, patchPath, resultSize, into(&result), &why);
        if (damage.isEmpty()) {
            QVERIFY2(ok, qPrintable(why));
            QCOMPARE(result, newData);
            return;
        }
        // A damaged patch may get some way, but never past the size asked for; only data after
        // a sound frame lets the whole file through before the failure.
        QVERIFY(!ok);
        QVERIFY(result.size() <= resultSize);
        QCOMPARE(result == newData, damage == "append");
        QVERIFY2(why.contains(error), qPrintable(why));
    }

    // A patch that does not pay is abandoned as soon as it reaches the limit.
    void makeStopsAtTheLimit() {
        QTemporaryDir dir;
        QVERIFY(write(dir.filePath("old"), noise(200000, 3)) &&
                write(dir.filePath("new"), noise(200000, 4)));
        QByteArray patch;
        QString why;
        QCOMPARE(int(DeltaPatch::make(dir.filePath("old"), dir.filePath("new"), 100000,
                                      into(&patch), &why)),
                 int(DeltaPatch::Made::TooLarge));
        QVERIFY(patch.size() < 100000);
        QCOMPARE(int(DeltaPatch::make(dir.filePath("missing"), dir.filePath("new"), 100000,
                                      into(&patch), &why)),
                 int(DeltaPatch::Made::Failed));
    }
};

QTEST_APPLESS_MAIN(TstDeltaPatch)
#include "tst_deltapatch.moc"
