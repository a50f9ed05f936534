#include "config/configuration.h"
#include "download/inidownloadtaskspecification.h"
#include "download/mirrors.h"
#include "support/faulthttpserver.h"
#include "support/releasemaker.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString iniName = QStringLiteral("client_linux_amd64.ini");

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Exposes the subtasks so that the tests can read their weights.
class IniTask final : public IniDownloadTaskSpecification {
public:
    using IniDownloadTaskSpecification::IniDownloadTaskSpecification;
    using IniDownloadTaskSpecification::subTasks;
};

// A server with one mirror holding a signed product ini, and a temporary directory to fill.
struct Rig {
    QTemporaryDir serverDir;
    QTemporaryDir tempDir;
    FaultHttpServer server;
    QNetworkAccessManager manager;
    Mirrors pool;
    Configuration config;
    QByteArray ini = "[files]\nclient::0123456789abcdef0123456789abcdef::10\n";

    Rig() {
        server.setRoot(serverDir.path());
        server.listen();
        QDir(serverDir.path()).mkpath(QStringLiteral("m/7"));
        writeFile(remote(iniName), ini);
        signWithDevKey(remote(iniName));
        FTPSiteAccessData mirror;
        mirror.name = QStringLiteral("m");
        mirror.url = server.baseUrl() + QStringLiteral("/m/7");
        mirror.retries = 2;
        pool.mirrors.append(mirror);
        config.updateType = QStringLiteral("client_linux_amd64");
        config.tempDir = tempDir.path();
    }
    QString remote(const QString& name) const {
        return serverDir.filePath(QStringLiteral("m/7/") + name);
    }
    QString local(const QString& name) const { return tempDir.filePath(name); }
    int requests(const QString& name) const {
        return server.requestCount(QStringLiteral("/m/7/") + name);
    }
};

QStringList texts(const QSignalSpy& spy) {
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

QList<double> weights(const IniTask& task) {
    QList<double> out;
    for (const TaskSpecification* sub : task.subTasks)
        out << sub->parentProgressRange;
    return out;
}

} // namespace

class TstIniDownloadTaskSpecification : public QObject {
    Q_OBJECT

private slots:
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
        QTRY_COMPARE_WITH_TIMEOUT(task.state, int(TaskSpecification::Finished), 10000);
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(task.progressValue, 0.1);

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

    // The check gives up after its 1001st failure, and the task ends once.
    void neverVerifies() {
        Rig rig;
        FaultRule garbage;
        garbage.body = QByteArray(128, 'g');
        rig.server.setRule(QStringLiteral("/m/7/") + iniName + ".sig", garbage);
        IniTask task(&rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        // Start near the limit: 998 failures so far, so three more checks are left.
        task.failedChecks = 998;
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 10000);
        QCOMPARE(task.state, int(TaskSpecification::ErrorCanceled));
        const QStringList log = texts(messages);
        QCOMPARE(log.count(QStringLiteral("Could not verify the product ini file. Retrying")), 2);
        QCOMPARE(log.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
        QCOMPARE(rig.requests(iniName), 3);
        QTest::qWait(100);
        QCOMPARE(finished.count(), 0);
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
        QCOMPARE(task.subTasks.first()->state, int(TaskSpecification::Running));
        task.userCanceled();
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 5000);
        QCOMPARE(task.state, int(TaskSpecification::UserCanceled));
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
        QCOMPARE(task.state, int(TaskSpecification::ErrorCanceled));
        QCOMPARE(task.failedChecks, 0);
    }
};

QTEST_GUILESS_MAIN(TstIniDownloadTaskSpecification)
#include "tst_inidownloadtaskspecification.moc"
