#include "support/tasklog.h"

#include <QTest>

class TstTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void endings_data();
    void endings();
    void resetAndPlainCancel();
    void otherTaskCancelledOnlyWhileRunning();
};

void TstTaskSpecification::endings_data() {
    QTest::addColumn<qreal>("weight");
    QTest::addColumn<qreal>("progressBefore");
    QTest::addColumn<QStringList>("ends");
    QTest::addColumn<TaskSpecification::State>("expectedState");
    QTest::addColumn<qreal>("expectedProgress");
    QTest::addColumn<QStringList>("expectedLog");

    QTest::newRow("finish emits weight then finished")
        << 0.4 << 0.0 << QStringList{"finish"} << TaskSpecification::Finished << 0.4
        << QStringList{"t progress 0", "t progress 0.4", "t finished"};
    QTest::newRow("progress scaled by weight")
        << 0.05 << 0.5 << QStringList{} << TaskSpecification::Running << 0.025
        << QStringList{"t progress 0.025"};
    QTest::newRow("error cancel keeps progress")
        << 1.0 << 0.3 << QStringList{"error"} << TaskSpecification::ErrorCanceled << 0.3
        << QStringList{"t progress 0.3", "t canceled 3"};
    QTest::newRow("user cancel keeps progress")
        << 1.0 << 0.3 << QStringList{"user"} << TaskSpecification::UserCanceled << 0.3
        << QStringList{"t progress 0.3", "t canceled 4"};
    // A parent counts every end it hears: a second one must not be heard.
    QTest::newRow("second end after finish ignored")
        << 0.4 << 0.0 << QStringList{"finish", "error", "finish"} << TaskSpecification::Finished
        << 0.4 << QStringList{"t progress 0", "t progress 0.4", "t finished"};
    QTest::newRow("second end after error cancel ignored")
        << 1.0 << 0.3 << QStringList{"error", "finish", "user"} << TaskSpecification::ErrorCanceled
        << 0.3 << QStringList{"t progress 0.3", "t canceled 3"};
    QTest::newRow("reset allows the next run's end")
        << 1.0 << 0.3 << QStringList{"user", "reset", "error"} << TaskSpecification::ErrorCanceled
        << 0.0 << QStringList{"t progress 0.3", "t canceled 4", "t progress 0", "t canceled 3"};
}

void TstTaskSpecification::endings() {
    QFETCH(qreal, weight);
    QFETCH(qreal, progressBefore);
    QFETCH(QStringList, ends);
    if (ends.size() > 1 && !ends.contains("reset")) {
#ifndef QT_NO_DEBUG
        QSKIP("a second end asserts in debug builds");
#endif
    }
    TaskLog log;
    ManualTask task(nullptr, weight);
    log.watch(&task, "t");
    QCOMPARE(task.state(), TaskSpecification::Ready);
    task.execute();
    task.setProgress(progressBefore);
    for (const QString& end : std::as_const(ends)) {
        if (end == "finish")
            task.finish();
        else if (end == "error")
            task.errorCancel();
        else if (end == "user")
            task.userCancel();
        else if (end == "reset")
            task.reset();
    }
    QTEST(task.state(), "expectedState");
    QTEST(task.progressValue(), "expectedProgress");
    QTEST(log.lines, "expectedLog");
}

void TstTaskSpecification::resetAndPlainCancel() {
    TaskLog log;
    ManualTask task(nullptr, 1.0);
    log.watch(&task, "t");
    task.execute();
    // A plain task cannot abort: the request is only noted.
    task.userCanceled();
    QVERIFY(task.userCancelRequested());
    QCOMPARE(task.state(), TaskSpecification::Running);
    QVERIFY(log.lines.isEmpty());

    task.errorCancel();
    task.reset();
    QCOMPARE(task.state(), TaskSpecification::Ready);
    QVERIFY(!task.userCancelRequested());
    // reset() emits even though the progress already was 0.
    QCOMPARE(log.lines, (QStringList{"t canceled 3", "t progress 0"}));

    quint64 done = 7, total = 7, speed = 7;
    bool downloading = true;
    task.timeTick(done, total, speed, downloading);
    QCOMPARE(done + total + speed, 0u);
    QVERIFY(!downloading);
}

void TstTaskSpecification::otherTaskCancelledOnlyWhileRunning() {
    struct Listener final : TaskSpecification {
        using TaskSpecification::finish;
        using TaskSpecification::onOtherTaskCancelled;
        using TaskSpecification::TaskSpecification;
        void execute() override { setRunning(); }
        void handleOtherTaskCancelled(TaskSpecification* other) override { seen.append(other); }
        QList<TaskSpecification*> seen;
    };
    Listener task(nullptr, 1.0);
    ManualTask other(nullptr, 1.0);
    connect(&other, &TaskSpecification::otherTaskCancelled, &task, &Listener::onOtherTaskCancelled);

    emit other.otherTaskCancelled(&other); // task still Ready
    task.execute();
    emit other.otherTaskCancelled(&task); // about itself
    emit other.otherTaskCancelled(&other);
    task.finish();
    emit other.otherTaskCancelled(&other);
    QCOMPARE(task.seen, (QList<TaskSpecification*>{&other}));
}

QTEST_GUILESS_MAIN(TstTaskSpecification)
#include "tst_taskspecification.moc"
