#include "support/tasklog.h"
#include "tasks/composedtaskspecification.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

namespace {

// Ends itself with an error when a sibling is cancelled, as a running download does, and as
// cancelled by the user at the user's cancel.
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
    void userCanceled() override {
        TaskSpecification::userCanceled();
        if (state() == Running)
            userCancel();
    }

private:
    TaskLog* log;
    QString name;
};

// Ends inside its own execute(), as a rename or a delete does; counts the live instances.
class InstantTask final : public TaskSpecification {
public:
    InstantTask(QObject* parent, qreal weight, int* alive)
        : TaskSpecification(parent, weight)
        , alive(alive) {
        ++*alive;
    }
    ~InstantTask() override { --*alive; }
    void execute() override {
        setRunning();
        finish();
    }

private:
    int* alive;
};

// A tree the test drives by name: "root" over the subtasks, "n" a nested composed task. A lazy
// root makes each of its subtasks (a nested one with its own) as it starts.
struct Tree {
    TaskLog log;
    Composite* root = nullptr;
    QHash<QString, QPointer<TaskSpecification>> tasks;
    // The root's own subtasks, each a list of names: one, or those of a nested task.
    QList<QStringList> items;
    qsizetype count = 0;

    Tree(int limit, const QStringList& names, bool lazy = false)
        : count(names.size()) {
        root = new Composite(limit, 1.0, &log);
        log.watch(root, "root");
        watchBroadcast(root, "root");
        // "[x" opens a nested composed task of limit 2, "y]" closes it, "!x" aborts on a
        // sibling's cancel.
        bool inNested = false;
        for (const QString& name : names) {
            if (!inNested)
                items.append(QStringList());
            items.last().append(name);
            inNested = (inNested || name.startsWith('[')) && !name.endsWith(']');
        }
        if (lazy) {
            root->addLazy(items.size(), [this](qsizetype i) { return make(items.at(i)); });
            return;
        }
        for (const QStringList& item : std::as_const(items))
            root->add(make(item));
    }
    TaskSpecification* make(const QStringList& item) {
        Composite* nested = nullptr;
        if (item.first().startsWith('[')) {
            nested = new Composite(2, 1.0 / count, root);
            log.watch(nested, "n");
            watchBroadcast(nested, "n");
            tasks.insert("n", nested);
        }
        Composite* parent = nested ? nested : root;
        TaskSpecification* sub = nullptr;
        for (const QString& name : item) {
            QString plain = name;
            plain.remove('[').remove(']').remove('!');
            sub = name.contains('!')
                      ? static_cast<TaskSpecification*>(new AbortingTask(parent, &log, plain))
                      : new ManualTask(parent, 1.0 / count, &log, plain);
            log.watch(sub, plain);
            tasks.insert(plain, sub);
            if (nested)
                nested->add(sub);
        }
        return nested ? nested : sub;
    }
    // The name under which the root's subtask of this item is known.
    static QString itemName(const QStringList& item) {
        return item.size() > 1 ? QStringLiteral("n") : QString(item.first()).remove('!');
    }
    void watchBroadcast(Composite* task, const QString& name) {
        QObject::connect(task, &TaskSpecification::otherTaskCancelled, &log,
                         [this, name](TaskSpecification* about) {
                             log.add(name + " broadcast " + tasks.key(about));
                         });
    }
    ManualTask* manual(const QString& name) {
        auto* task = static_cast<ManualTask*>(tasks.value(name).data());
        if (!task)
            qFatal("no live task %s", qPrintable(name));
        return task;
    }

    // Actions: "loop" runs the event loop, "finish a", "fail a", "user a" end a subtask,
    // "cancel" is the user's cancel of the whole tree, "abort user" / "abort error" the root's
    // own early end, "progress a 0.5" a subtask's own progress, "bytes a 300 1000" its download
    // figures (done, total), "tick" logs the root's timeTick(), "value" its progress value,
    // "reset" and "execute" call the root's.
    void perform(const QString& action) {
        const QString verb = action.section(' ', 0, 0), who = action.section(' ', 1, 1);
        const QString arg = action.section(' ', 2);
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
        else if (verb == "progress")
            manual(who)->setProgress(arg.toDouble());
        else if (verb == "bytes") {
            manual(who)->received = arg.section(' ', 0, 0).toULongLong();
            manual(who)->size = arg.section(' ', 1, 1).toULongLong();
        } else if (verb == "tick") {
            const TickReport r = tick(*root);
            log.add(QStringLiteral("root tick %1 %2 %3 %4")
                        .arg(r.done)
                        .arg(r.total)
                        .arg(r.speed)
                        .arg(r.downloading));
        } else if (verb == "value") {
            log.add(QStringLiteral("root value %1").arg(root->progressValue()));
        } else if (verb == "reset") {
            log.add("root reset");
            root->reset();
            log.add("root reset done");
        } else if (verb == "execute")
            root->execute();
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

// The root's progress as its parent sees it: the values in order, each change once. Inside
// reset() an eager task steps down subtask by subtask, a lazy one goes to zero at once.
QStringList rootProgress(const QStringList& lines) {
    QStringList out;
    bool resetting = false;
    for (const QString& l : lines) {
        if (l.startsWith("root reset"))
            resetting = l == "root reset";
        else if (!resetting && l.startsWith("root progress ") && (out.isEmpty() || out.last() != l))
            out.append(l);
    }
    return out;
}

// Every row of a table of runs, once with eager subtasks and once with lazy ones.
template <typename... Columns> void bothModes(const char* tag, const Columns&... columns) {
    for (const bool lazy : {false, true}) {
        QTestData& row = QTest::newRow(lazy ? qPrintable("lazy: " + QString(tag)) : tag);
        row << lazy;
        (row << ... << columns);
    }
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
    void instantSubtasksFollowInALoop();
};

void TstComposedTaskSpecification::emptyFinishesInsideExecute() {
    TaskLog log;
    Composite task(1, 0.3, nullptr);
    log.watch(&task, "c");
    task.execute();
    QCOMPARE(log.lines, (QStringList{"c progress 0.3", "c finished"}));
}

void TstComposedTaskSpecification::startOrderAndLimit_data() {
    QTest::addColumn<bool>("lazy");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("limit");
    bothModes("5 one at a time", 5, 1);
    bothModes("10 six at a time", 10, 6);
    bothModes("3 under a limit of 4", 3, 4);
}

void TstComposedTaskSpecification::startOrderAndLimit() {
    QFETCH(bool, lazy);
    QFETCH(int, count);
    QFETCH(int, limit);
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QString::number(i);
    Tree tree(limit, names, lazy);
    // A lazy subtask lives from its start to its end.
    const auto alive = [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return int(std::count_if(tree.tasks.cbegin(), tree.tasks.cend(),
                                 [](const QPointer<TaskSpecification>& t) { return !t.isNull(); }));
    };
    if (lazy)
        QCOMPARE(alive(), 0);

    tree.root->execute();
    QVERIFY2(tree.log.only("start").isEmpty(), "starts go through the event loop");
    QCoreApplication::processEvents();
    QStringList expectedStarts;
    for (int i = 0; i < std::min(count, limit); ++i)
        expectedStarts << QString::number(i) + " start";
    QCOMPARE(tree.log.only("start"), expectedStarts);

    for (int i = 0; i < count; ++i) {
        QVERIFY(tree.root->runningTaskList().size() <= limit);
        if (lazy)
            QCOMPARE(alive(), std::min(limit, count - i));
        const qsizetype startsBefore = tree.log.only("start").size();
        QPointer<ManualTask> ending = tree.manual(QString::number(i));
        ending->finish();
        QCOMPARE(tree.log.only("start").size(), startsBefore); // not inside the end
        QCOMPARE(tree.root->state(), TaskSpecification::Running);
        QCoreApplication::processEvents();
        if (i + limit < count)
            QCOMPARE(tree.log.only("start").last(), QString::number(i + limit) + " start");
        if (lazy) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY(ending.isNull());
        }
    }
    QCOMPARE(tree.log.only("start").size(), count);
    QCOMPARE(tree.root->state(), TaskSpecification::Finished);
    QCOMPARE(tree.log.only("finished").last(), QString("root finished"));
}

void TstComposedTaskSpecification::runs_data() {
    QTest::addColumn<bool>("lazy");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("subtasks");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("expectedLog");

    bothModes("failure aborts running siblings, pending never start", 2,
              QStringList{"a", "!b", "c"}, QStringList{"loop", "fail a", "loop"},
              QStringList{"a start", "b start", "a error broken a", "root error broken a",
                          "a canceled 3", "root broadcast a", "b canceled 3", "root canceled 3"});
    bothModes("two failures broadcast once and end once", 2, QStringList{"a", "b", "c"},
              QStringList{"loop", "fail a", "fail b", "loop"},
              QStringList{"a start", "b start", "a error broken a", "root error broken a",
                          "a canceled 3", "root broadcast a", "b error broken b",
                          "root error broken b", "b canceled 3", "root canceled 3"});
    bothModes("user cancel of one and error of another end as error", 2, QStringList{"a", "b"},
              QStringList{"loop", "user a", "fail b"},
              QStringList{"a start", "b start", "a canceled 4", "root broadcast a",
                          "b error broken b", "root error broken b", "b canceled 3",
                          "root canceled 3"});
    bothModes("user cancel of one, the others finish: ends as user canceled", 2,
              QStringList{"a", "b", "c"}, QStringList{"loop", "user a", "finish b", "loop"},
              QStringList{"a start", "b start", "a canceled 4", "root broadcast a", "b finished",
                          "root canceled 4"});
    bothModes("user cancel of the tree lets running tasks end, starts nothing more", 1,
              QStringList{"a", "b"}, QStringList{"loop", "cancel", "finish a", "loop", "loop"},
              QStringList{"a start", "a finished", "root canceled 4"});
    // The first one's end does not broadcast a failure that would end the others first.
    bothModes("user cancel of the tree ends every running subtask as user canceled", 2,
              QStringList{"!a", "!b", "c"}, QStringList{"loop", "cancel", "loop"},
              QStringList{"a start", "b start", "a canceled 4", "b canceled 4", "root canceled 4"});
    bothModes("user cancel of the tree reaches nested running subtasks", 2,
              QStringList{"[!x", "!y]", "!b"}, QStringList{"loop", "loop", "cancel", "loop"},
              QStringList{"b start", "x start", "y start", "x canceled 4", "y canceled 4",
                          "n canceled 4", "b canceled 4", "root canceled 4"});
    bothModes("user cancel after everything finished ends as finished", 2, QStringList{"a", "b"},
              QStringList{"loop", "finish a", "finish b", "cancel", "loop"},
              QStringList{"a start", "b start", "a finished", "b finished", "root finished"});
    bothModes("nested failure cancels the nested task, its siblings and the root", 2,
              QStringList{"[x", "!y]", "!b"}, QStringList{"loop", "loop", "fail x"},
              QStringList{"b start", "x start", "y start", "x error broken x", "n error broken x",
                          "root error broken x", "x canceled 3", "n broadcast x", "y canceled 3",
                          "n canceled 3", "root broadcast n", "b canceled 3", "root canceled 3"});
    bothModes("early end: later subtask ends pass errors on but end nothing", 2,
              QStringList{"a", "b", "c"},
              QStringList{"loop", "abort user", "finish a", "fail b", "loop"},
              QStringList{"a start", "b start", "root canceled 4", "a finished", "b error broken b",
                          "root error broken b", "b canceled 3"});
    bothModes("early end as error starts nothing more", 1, QStringList{"a", "b"},
              QStringList{"loop", "abort error", "finish a", "loop"},
              QStringList{"a start", "root canceled 3", "a finished"});
    // Ended subtasks stay in the figures; the bytes since the last tick count once, as speed.
    bothModes("download figures of running and ended subtasks", 1, QStringList{"a", "b"},
              QStringList{"loop", "bytes a 300 1000", "progress a 0.3", "tick", "bytes a 1000 1000",
                          "finish a", "loop", "bytes b 50 500", "progress b 0.1", "tick", "tick",
                          "finish b", "loop", "tick"},
              QStringList{"a start", "root tick 300 1000 300 1", "a finished", "b start",
                          "root tick 1050 1500 750 1", "root tick 1050 1500 0 1", "b finished",
                          "root finished", "root tick 1050 1500 0 0"});
    bothModes("reset after the end runs everything again", 1, QStringList{"a", "b"},
              QStringList{"loop", "progress a 0.5", "finish a", "loop", "finish b", "loop", "reset",
                          "tick", "execute", "loop", "progress a 0.5", "value", "finish a", "loop",
                          "finish b", "loop"},
              QStringList{"a start", "a finished", "b start", "b finished", "root finished",
                          "root tick 0 0 0 0", "a start", "root value 0.25", "a finished",
                          "b start", "b finished", "root finished"});
    bothModes("reset after a cancel with subtasks never started runs them all", 2,
              QStringList{"a", "b", "c"},
              QStringList{"loop", "bytes a 10 20", "cancel", "finish a", "loop", "finish b", "loop",
                          "reset", "tick", "value", "execute", "loop", "finish a", "finish b",
                          "loop", "value", "finish c", "loop"},
              QStringList{"a start", "b start", "a finished", "b finished", "root canceled 4",
                          "root tick 0 0 0 0", "root value 0", "a start", "b start", "a finished",
                          "b finished", "c start", "root value 0.666667", "c finished",
                          "root finished"});
}

void TstComposedTaskSpecification::runs() {
    QFETCH(bool, lazy);
    QFETCH(int, limit);
    QFETCH(QStringList, subtasks);
    QFETCH(QStringList, actions);
    Tree tree(limit, subtasks, lazy);
    tree.log.lines.clear();
    tree.root->execute();
    for (const QString& action : actions)
        tree.perform(action);
    QStringList log = withoutProgress(tree.log.lines);
    log.removeAll("root reset");
    log.removeAll("root reset done");
    QTEST(log, "expectedLog");
    if (!lazy)
        return;

    // The parent sees the same progress as from eager subtasks.
    Tree eager(limit, subtasks);
    eager.log.lines.clear();
    eager.root->execute();
    for (const QString& action : actions)
        eager.perform(action);
    QCOMPARE(rootProgress(tree.log.lines), rootProgress(eager.log.lines));
    QCOMPARE(tree.root->progressValue(), eager.root->progressValue());

    // Only the running subtasks are alive: ended ones have been deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QList<TaskSpecification*> running = tree.root->runningTaskList();
    int alive = 0;
    for (const QStringList& item : std::as_const(tree.items)) {
        if (TaskSpecification* task = tree.tasks.value(Tree::itemName(item))) {
            ++alive;
            QVERIFY(running.contains(task));
        }
    }
    QCOMPARE(alive, running.size());
    QVERIFY(alive <= limit);
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

void TstComposedTaskSpecification::instantSubtasksFollowInALoop() {
    // Subtasks that end inside execute() start one after another without a turn of the event
    // loop each and die at once, yet the loop still runs between slices of the work.
    const int count = 200000;
    Composite root(2, 1.0, nullptr);
    int alive = 0, mostAlive = 0;
    root.addLazy(count, [&](qsizetype) {
        auto* task = new InstantTask(&root, 1.0 / count, &alive);
        mostAlive = std::max(mostAlive, alive);
        return task;
    });
    int turns = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++turns; });
    ticker.start(0);
    root.execute();
    QDeadlineTimer deadline(60000);
    while (root.state() == TaskSpecification::Running && !deadline.hasExpired())
        QCoreApplication::processEvents();
    QCOMPARE(root.state(), TaskSpecification::Finished);
    QVERIFY2(turns > 1, "the window must get turns while the subtasks run");
    QVERIFY2(turns < count / 20, qPrintable(QString::number(turns)));
    QCOMPARE(mostAlive, 1);
    QCOMPARE(alive, 0);
    QCOMPARE(root.progressValue(), 1.0);
}

QTEST_GUILESS_MAIN(TstComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
