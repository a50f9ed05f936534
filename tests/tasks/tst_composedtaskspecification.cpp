#include "support/tasklog.h"
#include "tasks/composedtaskspecification.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// Ends itself with an error when a sibling is cancelled, as a running download does.
class AbortingTask final : public TaskSpecification {
public:
    AbortingTask(QObject* parent, TaskLog* log, QString name)
        : TaskSpecification(parent, 1.0)
        , log(log)
        , name(std::move(name)) {}
    void execute() override {
        setRunning();
        log->add(name + " start");
    }
    void handleOtherTaskCancelled(TaskSpecification*) override { errorCancel(); }

private:
    TaskLog* log;
    QString name;
};

// A tree the test drives by name: "root" over the subtasks, "n" a nested composed task.
struct Tree {
    TaskLog log;
    Composite* root = nullptr;
    QHash<QString, TaskSpecification*> tasks;

    Tree(int limit, const QStringList& names) {
        root = new Composite(limit, 1.0, &log);
        log.watch(root, "root");
        watchBroadcast(root, "root");
        Composite* nested = nullptr;
        for (const QString& name : names) {
            // "[x" opens a nested composed task of limit 2, "y]" closes it, "!x" aborts on a
            // sibling's cancel.
            QString plain = name;
            plain.remove('[').remove(']').remove('!');
            if (name.startsWith('[')) {
                nested = new Composite(2, 1.0 / names.size(), root);
                log.watch(nested, "n");
                watchBroadcast(nested, "n");
                tasks.insert("n", nested);
                root->add(nested);
            }
            Composite* parent = nested ? nested : root;
            TaskSpecification* sub =
                name.contains('!')
                    ? static_cast<TaskSpecification*>(new AbortingTask(parent, &log, plain))
                    : new ManualTask(parent, 1.0 / names.size(), &log, plain);
            log.watch(sub, plain);
            tasks.insert(plain, sub);
            parent->add(sub);
            if (name.endsWith(']'))
                nested = nullptr;
        }
    }
    void watchBroadcast(Composite* task, const QString& name) {
        QObject::connect(task, &TaskSpecification::otherTaskCancelled, &log,
                         [this, name](TaskSpecification* about) {
                             log.add(name + " broadcast " + tasks.key(about));
                         });
    }
    ManualTask* manual(const QString& name) { return static_cast<ManualTask*>(tasks[name]); }

    // Actions: "loop" runs the event loop, "finish a", "fail a", "user a" end a subtask,
    // "cancel" is the user's cancel of the whole tree, "abort user" / "abort error" the root's
    // own early end.
    void perform(const QString& action) {
        const QString verb = action.section(' ', 0, 0), who = action.section(' ', 1);
        if (verb == "loop")
            QCoreApplication::processEvents();
        else if (verb == "finish")
            manual(who)->finish();
        else if (verb == "fail")
            manual(who)->fail("broken " + who);
        else if (verb == "user")
            manual(who)->userCancel();
        else if (verb == "cancel")
            root->userCanceled();
        else if (verb == "abort")
            root->abort(who == "user" ? TaskSpecification::UserCanceled
                                      : TaskSpecification::ErrorCanceled);
        else
            QFAIL(qPrintable("unknown action " + action));
    }
};

QStringList withoutProgress(const QStringList& lines) {
    QStringList out;
    for (const QString& l : lines) {
        if (l.section(' ', 1, 1) != "progress")
            out.append(l);
    }
    return out;
}

} // namespace

class TstComposedTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void emptyFinishesInsideExecute();
    void startOrderAndLimit_data();
    void startOrderAndLimit();
    void runs_data();
    void runs();
    void weightedProgressAndTimeTick();
    void resetRunsAgain();
    void incrementalProgressMatchesPlainSum();
};

void TstComposedTaskSpecification::emptyFinishesInsideExecute() {
    TaskLog log;
    Composite task(1, 0.3, nullptr);
    log.watch(&task, "c");
    task.execute();
    QCOMPARE(log.lines, (QStringList{"c progress 0.3", "c finished"}));
}

void TstComposedTaskSpecification::startOrderAndLimit_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("limit");
    QTest::newRow("5 one at a time") << 5 << 1;
    QTest::newRow("10 six at a time") << 10 << 6;
    QTest::newRow("3 under a limit of 4") << 3 << 4;
}

void TstComposedTaskSpecification::startOrderAndLimit() {
    QFETCH(int, count);
    QFETCH(int, limit);
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QString::number(i);
    Tree tree(limit, names);

    tree.root->execute();
    QVERIFY2(tree.log.only("start").isEmpty(), "starts go through the event loop");
    QCoreApplication::processEvents();
    QStringList expectedStarts;
    for (int i = 0; i < std::min(count, limit); ++i)
        expectedStarts << QString::number(i) + " start";
    QCOMPARE(tree.log.only("start"), expectedStarts);

    for (int i = 0; i < count; ++i) {
        QVERIFY(tree.root->runningTaskList().size() <= limit);
        const qsizetype startsBefore = tree.log.only("start").size();
        tree.manual(QString::number(i))->finish();
        QCOMPARE(tree.log.only("start").size(), startsBefore); // not inside the end
        QCOMPARE(tree.root->state(), TaskSpecification::Running);
        QCoreApplication::processEvents();
        if (i + limit < count)
            QCOMPARE(tree.log.only("start").last(), QString::number(i + limit) + " start");
    }
    QCOMPARE(tree.log.only("start").size(), count);
    QCOMPARE(tree.root->state(), TaskSpecification::Finished);
    QCOMPARE(tree.log.only("finished").last(), QString("root finished"));
}

void TstComposedTaskSpecification::runs_data() {
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("subtasks");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("expectedLog");

    QTest::newRow("failure aborts running siblings, pending never start")
        << 2 << QStringList{"a", "!b", "c"} << QStringList{"loop", "fail a", "loop"}
        << QStringList{
               "a start",      "b start",          "a error broken a", "root error broken a",
               "a canceled 3", "root broadcast a", "b canceled 3",     "root canceled 3"};
    QTest::newRow("two failures broadcast once and end once")
        << 2 << QStringList{"a", "b", "c"} << QStringList{"loop", "fail a", "fail b", "loop"}
        << QStringList{
               "a start",      "b start",          "a error broken a", "root error broken a",
               "a canceled 3", "root broadcast a", "b error broken b", "root error broken b",
               "b canceled 3", "root canceled 3"};
    QTest::newRow("user cancel of one and error of another end as error")
        << 2 << QStringList{"a", "b"} << QStringList{"loop", "user a", "fail b"}
        << QStringList{"a start",          "b start",          "a canceled 4",
                       "root broadcast a", "b error broken b", "root error broken b",
                       "b canceled 3",     "root canceled 3"};
    QTest::newRow("user cancel of the tree lets running tasks end, starts nothing more")
        << 1 << QStringList{"a", "b"} << QStringList{"loop", "cancel", "finish a", "loop", "loop"}
        << QStringList{"a start", "a finished", "root canceled 4"};
    QTest::newRow("user cancel after everything finished ends as finished")
        << 2 << QStringList{"a", "b"}
        << QStringList{"loop", "finish a", "finish b", "cancel", "loop"}
        << QStringList{"a start", "b start", "a finished", "b finished", "root finished"};
    QTest::newRow("nested failure cancels the nested task, its siblings and the root")
        << 2 << QStringList{"[x", "!y]", "!b"} << QStringList{"loop", "loop", "fail x"}
        << QStringList{"b start",          "x start",          "y start",
                       "x error broken x", "n error broken x", "root error broken x",
                       "x canceled 3",     "n broadcast x",    "y canceled 3",
                       "n canceled 3",     "root broadcast n", "b canceled 3",
                       "root canceled 3"};
    QTest::newRow("early end: later subtask ends pass errors on but end nothing")
        << 2 << QStringList{"a", "b", "c"}
        << QStringList{"loop", "abort user", "finish a", "fail b", "loop"}
        << QStringList{"a start",     "b start",          "root canceled 4",
                       "a finished",  "b error broken b", "root error broken b",
                       "b canceled 3"};
    QTest::newRow("early end as error starts nothing more")
        << 1 << QStringList{"a", "b"} << QStringList{"loop", "abort error", "finish a", "loop"}
        << QStringList{"a start", "root canceled 3", "a finished"};
}

void TstComposedTaskSpecification::runs() {
    QFETCH(int, limit);
    QFETCH(QStringList, subtasks);
    QFETCH(QStringList, actions);
    Tree tree(limit, subtasks);
    tree.root->execute();
    for (const QString& action : actions)
        tree.perform(action);
    QTEST(withoutProgress(tree.log.lines), "expectedLog");
}

void TstComposedTaskSpecification::weightedProgressAndTimeTick() {
    struct Downloading final : TaskSpecification {
        Downloading(QObject* parent, quint64 done, quint64 total, quint64 speed)
            : TaskSpecification(parent, 0.0)
            , done(done)
            , total(total)
            , speed(speed) {}
        void execute() override { setRunning(); }
        void timeTick(quint64& d, quint64& t, quint64& s, bool& downloading) override {
            d = done;
            t = total;
            s = speed;
            downloading = true;
        }
        quint64 done, total, speed;
    };

    TaskLog log;
    Composite root(1, 1.0, nullptr);
    const QList<qreal> weights{0.1, 0.05, 0.4, 0.4, 0.05};
    QList<ManualTask*> steps;
    for (qreal w : weights) {
        steps << new ManualTask(&root, w);
        root.add(steps.last());
    }
    root.add(new Downloading(&root, 0, 0, 5)); // counts speed only
    root.add(new Downloading(&root, 30, 100, 7));
    log.watch(&root, "root");
    root.execute();
    QCoreApplication::processEvents();
    steps[0]->finish();
    QCoreApplication::processEvents();
    steps[1]->finish();
    QCOMPARE(log.lines.last(), QString("root progress 0.15"));
    QCOMPARE(root.progressValue(), 0.15);

    quint64 done = 1, total = 2, speed = 3;
    bool downloading = false;
    root.timeTick(done, total, speed, downloading);
    QCOMPARE(done, 31u);
    QCOMPARE(total, 102u);
    QCOMPARE(speed, 15u);
    QVERIFY(downloading);
}

void TstComposedTaskSpecification::resetRunsAgain() {
    Tree tree(1, {"a", "b"});
    tree.root->execute();
    for (const char* a : {"loop", "finish a", "loop", "finish b", "loop"})
        tree.perform(a);
    QCOMPARE(tree.root->state(), TaskSpecification::Finished);
    tree.root->reset();
    QCOMPARE(tree.root->state(), TaskSpecification::Ready);
    QCOMPARE(tree.root->progressValue(), 0.0);
    QCOMPARE(tree.tasks["a"]->state(), TaskSpecification::Ready);
    tree.log.lines.clear();
    tree.root->execute();
    for (const char* a : {"loop", "finish a", "loop", "finish b", "loop"})
        tree.perform(a);
    QCOMPARE(withoutProgress(tree.log.lines),
             (QStringList{"a start", "a finished", "b start", "b finished", "root finished"}));
    QCOMPARE(tree.root->progressValue(), 1.0);
}

void TstComposedTaskSpecification::incrementalProgressMatchesPlainSum() {
    // Many small reports in random order, with values going up and down, must keep the emitted
    // progress equal to the sum over all subtasks.
    const int count = 500;
    Composite root(count, 0.4, nullptr);
    QList<ManualTask*> subs;
    for (int i = 0; i < count; ++i) {
        subs << new ManualTask(&root, 1.0 / count);
        root.add(subs.last());
    }
    double worst = 0;
    int emissions = 0;
    connect(&root, &TaskSpecification::updateProgress, &root, [&](qreal emitted) {
        double plain = 0;
        for (ManualTask* s : subs)
            plain += s->progressValue();
        worst = std::max(worst, std::abs(emitted - plain * 0.4));
        ++emissions;
    });
    root.execute();
    QCoreApplication::processEvents();
    QRandomGenerator rng(42);
    for (int i = 0; i < 200000; ++i)
        subs[rng.bounded(count)]->setProgress(rng.generateDouble());
    for (ManualTask* s : subs)
        s->finish();
    QCoreApplication::processEvents();
    QCOMPARE(root.state(), TaskSpecification::Finished);
    QVERIFY2(worst < 1e-9, qPrintable(QString::number(worst)));
    QVERIFY(emissions > 200000);
    QCOMPARE(root.progressValue(), 0.4);
}

QTEST_GUILESS_MAIN(TstComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
