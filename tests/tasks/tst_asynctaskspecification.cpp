#include "support/tasklog.h"
#include "tasks/asynctaskspecification.h"

#include <QSemaphore>
#include <QTest>
#include <QThreadPool>

#include <atomic>
#include <thread>

namespace {

// Reports what it is told to, optionally after waiting for the test's go.
class ScriptedTask final : public ASyncTaskSpecification {
public:
    ScriptedTask(qreal weight, bool result, QString errorText = {}, qreal progress = -1,
                 QSemaphore* go = nullptr)
        : ASyncTaskSpecification(nullptr, weight)
        , result(result)
        , errorText(std::move(errorText))
        , progress(progress)
        , go(go) {}

    bool result;
    QString errorText;
    bool inlineRun = false;

protected:
    bool runsInline() override { return inlineRun; }

    Work createWork() override {
        return [result = result, errorText = errorText, progress = progress,
                go = go](ASyncReport& report) {
            if (go)
                go->acquire();
            if (progress >= 0) {
                report.progressSteps(1, 2, 4);
                report.progress(progress);
            }
            report.message(QStringLiteral("working"));
            if (!errorText.isEmpty())
                report.error(errorText);
            return ASyncResult(result);
        };
    }

private:
    qreal progress;
    QSemaphore* go;
};

} // namespace

class TstASyncTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void handBack_data();
    void handBack();
    void resetIgnoresLateResult();
    void userCancelDoesNotShortenWork();
    void staleResultDoesNotEndANewRun();
};

void TstASyncTaskSpecification::handBack_data() {
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<qreal>("progress");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::addColumn<bool>("inlineRun");

    const QStringList success{"t progress 0.0125", "t progress 0.025", "t progress 0.0375",
                              "t message working", "t progress 0.05",  "t finished"};
    const QStringList failure{"t message working", "t error disk full", "t canceled 3"};
    QTest::newRow("success") << true << QString() << 0.75 << success << false;
    QTest::newRow("error text arrives before the cancel")
        << false << "disk full" << -1.0 << failure << false;
    // The same reports in the same order, all of them before execute() returns.
    QTest::newRow("inline success") << true << QString() << 0.75 << success << true;
    QTest::newRow("inline error") << false << "disk full" << -1.0 << failure << true;
}

void TstASyncTaskSpecification::handBack() {
    QFETCH(bool, result);
    QFETCH(QString, errorText);
    QFETCH(qreal, progress);
    QFETCH(bool, inlineRun);
    TaskLog log;
    ScriptedTask task(0.05, result, errorText, progress);
    task.inlineRun = inlineRun;
    log.watch(&task, "t");
    task.execute();
    if (inlineRun) {
        QTEST(log.lines, "expectedLog");
        // Runs the task again, resetting it from inside the first report of that signal.
        const auto rerunResettingAt = [&](auto signal) {
            task.reset();
            log.lines.clear();
            connect(
                &task, signal, &task, [&] { task.reset(); }, Qt::SingleShotConnection);
            task.execute();
        };
        // A reset from a report drops the rest of that run's reports, the verdict included.
        rerunResettingAt(&TaskSpecification::message);
        QCOMPARE(task.state(), TaskSpecification::Ready);
        QCOMPARE(log.lines.filter(QRegularExpression("error|finished|canceled")), QStringList());
        if (progress < 0)
            return;
        // So does one at the first of several steps handed over at once.
        rerunResettingAt(&TaskSpecification::updateProgress);
        QCOMPARE(log.lines, (QStringList{"t progress 0.0125", "t progress 0"}));
        return;
    }
    QCOMPARE(task.state(), TaskSpecification::Running);
    QVERIFY2(log.lines.isEmpty(), "nothing may arrive inside execute()");
    QTRY_VERIFY_WITH_TIMEOUT(task.state() != TaskSpecification::Running, 5000);
    QTEST(log.lines, "expectedLog");
}

void TstASyncTaskSpecification::resetIgnoresLateResult() {
    QSemaphore go;
    std::atomic<bool> released = false;
    TaskLog log;
    ScriptedTask task(1.0, true, {}, -1, &go);
    log.watch(&task, "t");
    task.execute();
    // The work is held until well after reset(): a reset() that waited for it would return
    // only after the release.
    std::thread release([&] {
        QThread::msleep(500);
        released = true;
        go.release();
    });
    task.reset();
    const bool returnedFirst = !released;
    release.join();
    QVERIFY2(returnedFirst, "reset() waited for the work");
    QCOMPARE(task.state(), TaskSpecification::Ready);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents(); // delivers the late reports
    QCOMPARE(task.state(), TaskSpecification::Ready);
    // Neither the result nor the messages of the earlier run reach the task.
    QCOMPARE(log.lines, (QStringList{"t progress 0"}));
}

void TstASyncTaskSpecification::userCancelDoesNotShortenWork() {
    QSemaphore go;
    TaskLog log;
    ScriptedTask task(1.0, true, {}, -1, &go);
    log.watch(&task, "t");
    task.execute();
    task.userCanceled();
    go.release();
    QTRY_COMPARE_WITH_TIMEOUT(task.state(), TaskSpecification::Finished, 5000);
    QVERIFY(task.userCancelRequested());
}

void TstASyncTaskSpecification::staleResultDoesNotEndANewRun() {
    QSemaphore go;
    TaskLog log;
    ScriptedTask task(1.0, false, "old failure", -1, &go);
    log.watch(&task, "t");
    task.execute();
    go.release();
    QThreadPool::globalInstance()->waitForDone();
    task.reset(); // the old worker is done, its result still queued
    task.result = true;
    task.errorText.clear();
    task.execute();
    QCoreApplication::processEvents();
    QCOMPARE(task.state(), TaskSpecification::Running);
    go.release();
    QTRY_COMPARE_WITH_TIMEOUT(task.state(), TaskSpecification::Finished, 5000);
    QVERIFY(log.only("error").isEmpty());
    QVERIFY(log.only("canceled").isEmpty());
}

QTEST_GUILESS_MAIN(TstASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
