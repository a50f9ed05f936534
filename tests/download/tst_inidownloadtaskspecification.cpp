#include "config/configuration.h"
#include "download/inidownloadtaskspecification.h"
#include "download/mirrors.h"
#include "support/downloadfixture.h"
#include "support/faulthttpserver.h"
#include "support/files.h"
#include "support/releasemaker.h"
#include "support/tasklog.h"
#include "verify/checksignaturetaskspecification.h"
#include "verify/tomcryptutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(FaultRule)

namespace {

const QString iniName = QStringLiteral("client_linux_amd64.ini");

// Exposes the subtasks so that the tests can read their weights.
class IniTask final : public IniDownloadTaskSpecification {
public:
    using IniDownloadTaskSpecification::IniDownloadTaskSpecification;
    using IniDownloadTaskSpecification::subTaskList;
};

// A server with one mirror holding a signed product ini, and a temporary directory to fill.
struct Rig : MirrorRig {
    Configuration config;
    QByteArray ini = "[files]\nclient::0123456789abcdef0123456789abcdef::10\n";

    Rig() {
        addMirror(QStringLiteral("m"));
        QVERIFY(writeFile(remote(iniName), ini));
        QVERIFY(signWithDevKey(remote(iniName)));
        config.updateType = QStringLiteral("client_linux_amd64");
        config.tempDir = localDir.path();
    }
    // More mirrors with the same base address, so that the requests add up per path.
    void addMirrors(int count) {
        const QString url = pool.mirrors.first().url;
        for (int i = 2; i <= count; ++i)
            addMirror(QStringLiteral("m%1").arg(i), url);
    }
    QString remote(const QString& name) const {
        return MirrorRig::remote(QStringLiteral("m"), name);
    }
    // A signature of the right size that never verifies.
    void serveGarbageSignature() {
        FaultRule garbage;
        garbage.body = QByteArray(qint64(compiled_in_signature_size()), 'g');
        server.setRule(path(QStringLiteral("m"), iniName + ".sig"), garbage);
    }
    int requests(const QString& name) const {
        return server.requestCount(path(QStringLiteral("m"), name));
    }
};

// Runs the task to its end, ticking only while it backs off so that no transfer is hurried;
// returns the ticks spent backing off, or -1 when the task did not end in time.
int runBackingOff(IniTask& task) {
    int ticks = 0;
    while (QTest::qWaitFor(
        [&] { return task.state() != TaskSpecification::Running || task.backoffTicks > 0; },
        20000)) {
        if (task.state() != TaskSpecification::Running)
            return ticks;
        tick(task);
        ++ticks;
    }
    return -1;
}

QList<double> weights(const IniTask& task) {
    QList<double> out;
    for (const TaskSpecification* sub : task.subTaskList())
        out << sub->parentProgressRange;
    return out;
}

} // namespace

class TstIniDownloadTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    // An endless ini that slips past its bound fails its writes instead of filling the disk.
    void initTestCase() { QVERIFY(capFileSize(24 * 1024 * 1024)); }

    void resume_data() {
        QTest::addColumn<QString>("localFiles"); // "", "ini", "sig", "both", "stale"
        QTest::addColumn<QList<double>>("firstWeights");
        QTest::addColumn<int>("requestsEach");
        QTest::addColumn<int>("failedChecks");

        QTest::newRow("fresh") << "" << QList<double>{0.3333, 0.3333, 0.3334} << 1 << 0;
        QTest::newRow("resumed-valid") << "both" << QList<double>{1.0} << 0 << 0;
        // A stale ini fails its check once; then both files come fresh from the mirror.
        QTest::newRow("resumed-stale") << "stale" << QList<double>{1.0} << 1 << 1;
    }
    void resume() {
        QFETCH(QString, localFiles);
        QFETCH(QList<double>, firstWeights);
        QFETCH(int, requestsEach);
        QFETCH(int, failedChecks);
        Rig rig;
        if (localFiles == QLatin1String("both")) {
            QVERIFY(QFile::copy(rig.remote(iniName), rig.local(iniName)));
            QVERIFY(QFile::copy(rig.remote(iniName + ".sig"), rig.local(iniName + ".sig")));
        } else if (localFiles == QLatin1String("stale")) {
            QVERIFY(writeFile(rig.local(iniName), "[files]\nold::x::1\n"));
            QVERIFY(signWithDevKey(rig.local(iniName)));
            QVERIFY(writeFile(rig.local(iniName), "[files]\nold::x::2\n"));
        }

        IniTask task(&rig.manager, &rig.pool, &rig.config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QCOMPARE(weights(task).size(), firstWeights.size());
        for (int i = 0; i < firstWeights.size(); ++i)
            QCOMPARE(weights(task).at(i), firstWeights.at(i));
        QTRY_COMPARE_WITH_TIMEOUT(task.state(), TaskSpecification::Finished, 10000);
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(task.progressValue(), 0.1);

        QCOMPARE(rig.requests(iniName), requestsEach);
        QCOMPARE(rig.requests(iniName + ".sig"), requestsEach);
        QCOMPARE(task.failedChecks, failedChecks);
        QCOMPARE(readAll(rig.local(iniName)), rig.ini);
        const QStringList log = texts(messages);
        QCOMPARE(log.first(), QStringLiteral("Download / check product ini"));
        QCOMPARE(log.count(QStringLiteral("Could not verify the product ini file. Retrying")),
                 failedChecks);
        QCOMPARE(log.count(QStringLiteral("Signature check failed for %1").arg(rig.local(iniName))),
                 failedChecks);
        // A bad ini is not the mirror's fault.
        QCOMPARE(rig.pool.mirrors.size(), 1);
        QCOMPARE(rig.pool.mirrors[0].errorCount, 0);
    }

    // Each row ends with an empty pool after a bounded number of requests, bytes and ticks, and
    // leaves no file past its bound (a write past the file-size cap would show as another
    // message). %B is the mirror's base address, %S the signature length.
    void hostileMirror_data() {
        QTest::addColumn<FaultRule>("iniRule");
        QTest::addColumn<FaultRule>("sigRule");
        QTest::addColumn<int>("mirrorCount");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("textCount");
        QTest::addColumn<int>("maxIniRequests");
        QTest::addColumn<int>("maxSigRequests");
        QTest::addColumn<qint64>("maxBytesSent");
        QTest::addColumn<int>("maxTicks");

        const qint64 MiB = 1024 * 1024;
        const QString oversized =
            QStringLiteral("%B/") + iniName + "%1 sent more than the allowed %2 bytes";
        FaultRule plain;
        FaultRule endless;
        endless.endless = true;
        endless.sendContentLength = false;
        QTest::newRow("endless-ini")
            << endless << plain << 1 << oversized.arg(QString()).arg(16 * MiB) << 3 << 3 << 0
            << 3 * 24 * MiB << 0;
        const QString sigOversized = oversized.arg(QStringLiteral(".sig"), QStringLiteral("%S"));
        QTest::newRow("endless-sig")
            << plain << endless << 1 << sigOversized << 3 << 1 << 3 << 3 * 8 * MiB << 0;
        FaultRule huge;
        huge.body = QByteArray(50 * MiB, 's');
        QTest::newRow("huge-sig") << plain << huge << 1 << sigOversized << 3 << 1 << 3
                                  << 3 * 8 * MiB << 0;
        FaultRule garbage;
        garbage.body = QByteArray(qint64(compiled_in_signature_size()), 'g');
        const QString dropped = QStringLiteral("failed verification, removing mirror");
        QTest::newRow("bad-signature")
            << plain << garbage << 1 << dropped << 1 << 1 << 1 << 1 * MiB << 1;
        // Every failure costs at least one mirror and waits 1, 2, then 4 ticks.
        QTest::newRow("bad-signature-three-mirrors")
            << plain << garbage << 3 << dropped << 3 << 3 << 3 << 1 * MiB << 7;
    }
    void hostileMirror() {
        QFETCH(FaultRule, iniRule);
        QFETCH(FaultRule, sigRule);
        QFETCH(int, mirrorCount);
        QFETCH(QString, text);
        QFETCH(int, textCount);
        QFETCH(int, maxIniRequests);
        QFETCH(int, maxSigRequests);
        QFETCH(qint64, maxBytesSent);
        QFETCH(int, maxTicks);
        Rig rig;
        rig.addMirrors(mirrorCount);
        const QString iniPath = QStringLiteral("/m/7/") + iniName;
        rig.server.setRule(iniPath, iniRule);
        rig.server.setRule(iniPath + ".sig", sigRule);
        text.replace(QStringLiteral("%B"), rig.pool.mirrors.first().url)
            .replace(QStringLiteral("%S"), QString::number(qint64(compiled_in_signature_size())));

        IniTask task(&rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy poolMessages(&rig.pool, &Mirrors::message);
        task.execute();
        const int ticks = runBackingOff(task);
        QVERIFY(ticks >= 0);
        QVERIFY2(ticks <= maxTicks, qPrintable(QString::number(ticks)));
        QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);

        QCOMPARE(texts(messages).filter(text).size(), textCount);
        QVERIFY(rig.pool.mirrors.isEmpty());
        QCOMPARE(texts(poolMessages).last(),
                 QStringLiteral("There are no (more) known working mirrors available"));
        QVERIFY(rig.requests(iniName) >= 1 && rig.requests(iniName) <= maxIniRequests);
        QVERIFY(rig.requests(iniName + ".sig") <= maxSigRequests);
        const qint64 sent = rig.server.bytesSent(iniPath) + rig.server.bytesSent(iniPath + ".sig");
        QVERIFY2(sent <= maxBytesSent, qPrintable(QString::number(sent)));
        QVERIFY(QFileInfo(rig.local(iniName)).size() <= IniDownloadTaskSpecification::maxIniBytes);
        QVERIFY(QFileInfo(rig.local(iniName + ".sig")).size() <=
                qint64(compiled_in_signature_size()));
    }

    // The check gives up after its 1001st failure, and the task ends once.
    void neverVerifies() {
        Rig rig;
        // Each failure may cost two mirrors (ini and signature from different ones).
        rig.addMirrors(6);
        rig.serveGarbageSignature();
        IniTask task(&rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        // Start near the limit: 998 failures so far, so three more checks are left.
        task.failedChecks = 998;
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        // Backing off after the 999th and 1000th failures, 30 ticks each.
        QCOMPARE(runBackingOff(task), 60);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
        const QStringList log = texts(messages);
        QCOMPARE(log.count(QStringLiteral("Could not verify the product ini file. Retrying")), 2);
        QCOMPARE(log.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
        QCOMPARE(rig.requests(iniName), 3);
        QTest::qWait(100);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(canceled.count(), 1);
    }

    // A user cancel while backing off ends the task at once, without another download.
    void userCancelWhileBackingOff() {
        Rig rig;
        rig.addMirrors(2);
        rig.serveGarbageSignature();
        IniTask task(&rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_VERIFY_WITH_TIMEOUT(task.backoffTicks > 0, 10000);
        const int requests = rig.server.totalRequests();
        task.userCanceled();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task.state(), TaskSpecification::UserCanceled);
        tick(task, 40);
        QTest::qWait(100);
        QCOMPARE(rig.server.totalRequests(), requests);
        QCOMPARE(canceled.count(), 1);
    }

    // A cancel that arrives while a failing check runs ends the task instead of a retry.
    void userCancelDuringFailingCheck() {
        Rig rig;
        QVERIFY(writeFile(rig.local(iniName), "stale"));
        QVERIFY(writeFile(rig.local(iniName + ".sig"), QByteArray(128, 's')));
        IniTask task(&rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        // Deliver only the queued start: the check is now running on the pool.
        QCoreApplication::sendPostedEvents(&task, QEvent::MetaCall);
        QCOMPARE(task.subTaskList().first()->state(), TaskSpecification::Running);
        task.userCanceled();
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 5000);
        QCOMPARE(task.state(), TaskSpecification::UserCanceled);
        QTest::qWait(100);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(rig.server.totalRequests(), 0);
    }

    // A download that cannot succeed cancels the task; no retry at this level.
    void noMirrorCancels() {
        Rig rig;
        rig.pool.mirrors.clear();
        IniTask task(&rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 5000);
        QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
        QCOMPARE(task.failedChecks, 0);
    }
};

QTEST_GUILESS_MAIN(TstIniDownloadTaskSpecification)
#include "tst_inidownloadtaskspecification.moc"
