#include "support/files.h"
#include "support/releasemaker.h"
#include "support/tasklog.h"
#include "verify/checksignaturetaskspecification.h"
#include "verify/tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

namespace {
// One finished run of a task: its messages, its verdicts and how it ended.
struct Outcome {
    QStringList messages;
    QList<bool> verdicts;
    int state = -1;
    int finished = 0;
    int canceled = 0;
};

Outcome runTask(const QString& fileName, const QString& md5, bool cancelOnFailure) {
    CheckSignatureTaskSpecification task(fileName, md5, cancelOnFailure, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy checks(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    Outcome outcome;
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, 10000))
        return outcome;
    outcome.messages = texts(messages);
    for (const auto& args : checks) {
        outcome.verdicts << args.at(0).toBool();
        if (args.at(1).value<CheckSignatureTaskSpecification*>() != &task)
            outcome.verdicts << false << false; // makes the comparison fail visibly
    }
    outcome.state = int(task.state());
    outcome.finished = finished.size();
    outcome.canceled = canceled.size();
    return outcome;
}
} // namespace

class TstCheckSignatureTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        crypt_init();
    }

    void md5Mode_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<bool>("pass");
        QTest::newRow("empty file, upper-case sum")
            << QByteArray() << "D41D8CD98F00B204E9800998ECF8427E" << true;
        QTest::newRow("abc") << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72" << true;
        QTest::newRow("abc, mixed case")
            << QByteArray("abc") << "900150983CD24fb0d6963f7d28e17F72" << true;
        QTest::newRow("wrong sum")
            << QByteArray("abd") << "900150983cd24fb0d6963f7d28e17f72" << false;
        QTest::newRow("sum with a trailing blank")
            << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72 " << false;
        // Several read chunks and a short last one: every byte must reach the hash once.
        const QByteArray big = noise(3 * 64 * 1024 + 17);
        QTest::newRow("several chunks")
            << big
            << QString::fromLatin1(QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex())
            << true;
        QByteArray changed = big;
        changed[2 * 64 * 1024] = changed[2 * 64 * 1024] ^ 1;
        QTest::newRow("several chunks, one byte changed")
            << changed
            << QString::fromLatin1(QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex())
            << false;
    }
    void md5Mode() {
        QFETCH(QByteArray, content);
        QFETCH(QString, md5);
        QFETCH(bool, pass);
        const QString file = dir.filePath(QStringLiteral("md5-") + QTest::currentDataTag());
        QVERIFY(writeFile(file, content));

        for (bool cancelOnFailure : {false, true}) {
            const Outcome outcome = runTask(file, md5, cancelOnFailure);
            QCOMPARE(outcome.verdicts, QList<bool>{pass});
            const QStringList expectedMessages =
                pass ? QStringList()
                     : QStringList{QStringLiteral("Signature check failed for ") + file};
            QCOMPARE(outcome.messages, expectedMessages);
            const bool cancels = !pass && cancelOnFailure;
            QCOMPARE(outcome.state,
                     int(cancels ? TaskSpecification::ErrorCanceled : TaskSpecification::Finished));
            QCOMPARE(outcome.finished, cancels ? 0 : 1);
            QCOMPARE(outcome.canceled, cancels ? 1 : 0);
        }
        // List building calls the worker directly, without a task or an event loop.
        CheckSigFunc direct(file, md5);
        QCOMPARE(direct.run(), pass);
    }

    void signatureMode_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("pass");
        QTest::addColumn<QStringList>("workerMessages");
        QTest::newRow("valid") << "valid" << true << QStringList();
        QTest::newRow("empty file, valid") << "empty" << true << QStringList();
        QTest::newRow("big file, valid") << "big" << true << QStringList();
        QTest::newRow("file changed after signing") << "changed" << false << QStringList();
        QTest::newRow("signature of another file") << "other" << false << QStringList();
        QTest::newRow("signature one byte short") << "short" << false << QStringList();
        QTest::newRow("signature one byte long") << "long" << false << QStringList();
        QTest::newRow("signature flipped bit") << "flipped" << false << QStringList();
        QTest::newRow("signed by another key") << "otherkey" << false << QStringList();
        QTest::newRow("huge signature file") << "huge" << false << QStringList();
        QTest::newRow("no signature file")
            << "nosig" << false << QStringList{"Could not open file %1.sig for reading"};
        QTest::newRow("no file") << "nofile" << false
                                 << QStringList{"Could not open file %1 for reading"};
        QTest::newRow("file is a directory")
            << "directory" << false << QStringList{"Could not open file %1 for reading"};
    }
    void signatureMode() {
        QFETCH(QString, setup);
        QFETCH(bool, pass);
        QFETCH(QStringList, workerMessages);
        const QString file = dir.filePath(QStringLiteral("sig-") + setup + QStringLiteral(".ini"));
        const QString sigFile = file + QStringLiteral(".sig");
        const QByteArray content = setup == u"empty" ? QByteArray()
                                   : setup == u"big" ? noise(200 * 1024)
                                                     : QByteArray("[client]\nupdate=0::1\n");
        if (setup == u"directory") {
            QVERIFY(QDir().mkpath(file));
        } else if (setup != u"nofile") {
            QVERIFY(writeFile(file, content));
        }
        if (setup != u"nosig" && setup != u"nofile" && setup != u"directory") {
            QVERIFY(writeFile(file, setup == u"other" ? QByteArray("something else") : content));
            QVERIFY(signWithDevKey(file));
            QVERIFY(writeFile(file, content));
        }
        QByteArray sig = QFile::exists(sigFile) ? readAll(sigFile) : QByteArray();
        if (setup == u"changed")
            QVERIFY(writeFile(file, content + "x"));
        else if (setup == u"short")
            sig.chop(1);
        else if (setup == u"long")
            sig.append('\0');
        else if (setup == u"flipped")
            sig[10] = sig[10] ^ 0x04;
        else if (setup == u"huge")
            sig = noise(10 << 20);
        else if (setup == u"otherkey") {
            RsaKey other;
            create_key(other.get());
            unsigned char out[512];
            unsigned long len = sizeof out;
            sign_msg(other.get(), reinterpret_cast<const unsigned char*>(content.constData()),
                     content.size(), out, &len);
            sig = QByteArray(reinterpret_cast<char*>(out), len);
        }
        if (!sig.isEmpty())
            QVERIFY(writeFile(sigFile, sig));

        const Outcome outcome = runTask(file, QString(), false);
        QCOMPARE(outcome.verdicts, QList<bool>{pass});
        QStringList expected;
        for (const QString& message : workerMessages)
            expected << message.arg(file);
        if (!pass)
            expected << QStringLiteral("Signature check failed for ") + file;
        QCOMPARE(outcome.messages, expected);
        QCOMPARE(outcome.state, int(TaskSpecification::Finished));
    }

    // A result that arrives when the task no longer runs is dropped without a trace.
    void lateResultIsDropped() {
        const QString file = dir.filePath(QStringLiteral("late"));
        QVERIFY(writeFile(file, "late"));
        CheckSignatureTaskSpecification task(file, QStringLiteral("00"), true, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy checks(&task, &CheckSignatureTaskSpecification::checkDone);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        task.reset();
        QThreadPool::globalInstance()->waitForDone(); // the worker's reports are now queued
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(task.state(), TaskSpecification::Ready);
        QCOMPARE(messages.size(), 0);
        QCOMPARE(checks.size(), 0);
        QCOMPARE(canceled.size(), 0);
    }

    // Owners reset the check from their checkDone slot to try again elsewhere; the run that
    // reported must then not end the task a second time.
    void resetFromCheckDone_data() {
        QTest::addColumn<bool>("restart");
        QTest::newRow("reset only") << false;
        QTest::newRow("reset and restart") << true;
    }
    void resetFromCheckDone() {
        QFETCH(bool, restart);
        const QString file = dir.filePath(QStringLiteral("retry"));
        QVERIFY(writeFile(file, "retry"));
        CheckSignatureTaskSpecification task(file, QStringLiteral("00"), true, nullptr, 1.0);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        int calls = 0;
        connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
                [&](bool pass, CheckSignatureTaskSpecification* t) {
                    QVERIFY(!pass);
                    if (++calls == 1) {
                        t->reset();
                        if (restart)
                            t->execute();
                    }
                });
        task.execute();
        if (restart) {
            QTRY_COMPARE_WITH_TIMEOUT(canceled.size(), 1, 10000);
            QCOMPARE(calls, 2);
            QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
            QCoreApplication::processEvents();
            QCOMPARE(canceled.size(), 0);
            QCOMPARE(task.state(), TaskSpecification::Ready);
        }
    }

private:
    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(TstCheckSignatureTaskSpecification)
#include "tst_checksignaturetaskspecification.moc"
