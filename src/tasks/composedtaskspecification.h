#pragma once

#include "taskspecification.h"

#include <QList>

// A task made of subtasks: starts them in insertion order, at most maxRunningTasks at once, adds
// up their weighted progress, forwards their error() and message() signals, and ends when nothing
// runs any more, with a state derived from the subtasks.
//
// Subclasses create each subtask with this task as QObject parent, hand it to addSubTask() (which
// takes ownership), then call executeSubTasks(). Starts go through the event loop; a subtask
// that ends inside its own execute() is followed by the next start in a loop, never a recursion,
// for up to a few milliseconds. A subclass keeps its own state through the hooks onReset() and
// onAbort(); the run flags are the base's.
//
// A long list of subtasks can be lazy instead (setLazySubTasks()): each is made by makeSubTask()
// just before it starts, after every eager one, and deleted once it has ended, so that only the
// running ones cost memory. What the task still needs of an ended one (its progress, its end
// state, its last download figures) is kept in counters. A lazy subtask must not end while
// work of its own still runs: its children die with it.
class ComposedTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxRunningTasks, qreal weight, QObject* parent);
    ~ComposedTaskSpecification() override;

    // Resets the subclass (onReset()), then every subtask that remains, and requeues them.
    void reset() final;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    // Both call onAbort() first; unless that ended the task, they pass the cancel on.
    void userCanceled() final;
    void handleOtherTaskCancelled(TaskSpecification* other) final;

signals:
    // Queued to onStartNextTask(): one emission starts one subtask (or ends the task).
    void startNextTask();

protected:
    // Called once per run when nothing runs and nothing more will start; ends the task.
    // Overrides do their closing work first and then call this version.
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification* subTask);
    // The subclass's own state goes back to its start. Called by reset() before the subtasks are
    // reset; a subclass that builds its subtasks per run drops them here with clearSubTasks().
    virtual void onReset() {}
    // The running task is being cancelled, by the user (UserCanceled) or because another task of
    // the tree was (ErrorCanceled). A subclass that is waiting on its own, with no subtask
    // running, ends itself here with abort(reason).
    virtual void onAbort(State reason) { Q_UNUSED(reason) }
    // Ends the task now as reason (ErrorCanceled or UserCanceled) while a subtask may still be on
    // the stack: nothing more starts, and the later ends of running subtasks no longer end it.
    void abort(State reason);

    void addSubTask(TaskSpecification* subTask);
    // From now on the task also runs count lazy subtasks, made by makeSubTask(0..count-1) in
    // order. reset() starts them from the first again; clearSubTasks() drops them.
    void setLazySubTasks(qsizetype count);
    // Makes lazy subtask index, with this task as QObject parent; ownership passes to this task.
    virtual TaskSpecification* makeSubTask(qsizetype index);
    void executeSubTasks();
    State getStateFromSubTasks() const;
    // Disconnects every subtask and deletes it later; empties all lists.
    void clearSubTasks();

    // The eager subtasks only.
    const QList<TaskSpecification*>& subTaskList() const { return subTasks; }
    // Eager and lazy subtasks that run now.
    const QList<TaskSpecification*>& runningTaskList() const { return runningTasks; }

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification* subTask);
    void onSubTaskCanceled(TaskSpecification* subTask);

private:
    QList<TaskSpecification*> subTasks;
    QList<TaskSpecification*> pendingTasks;
    QList<TaskSpecification*> runningTasks;
    int maxRunningTasks;
    // While onStartNextTask() runs a subtask's execute(): that subtask, the slots that ended in
    // it, and the subtask to delete once execute() has returned.
    TaskSpecification* starting = nullptr;
    int freedInline = 0;
    TaskSpecification* endedInline = nullptr;
    static constexpr int inlineBudgetMs = 10;
    bool cancelSeen = false;
    bool doneReported = false;

    void onSubTaskProgress(TaskSpecification* subTask);
    void onUpdateProgress();
    // For a lazy subtask that just ended: keeps what is still needed of it, then deletes it.
    void foldLazy(TaskSpecification* subTask);
    void dropLazy();
    // Cuts a subtask off from this task and deletes it later.
    void release(TaskSpecification* subTask);

    // Lazy subtasks: how many, how many made this run, and the made ones that have not ended.
    qsizetype lazyCount = 0;
    qsizetype lazyMade = 0;
    QList<TaskSpecification*> lazyLive;
    // The cancelled ones among the ended lazy subtasks; the others finished.
    qsizetype lazyUserCanceled = 0;
    qsizetype lazyErrorCanceled = 0;
    // Their timeTick figures at their end: done and total stay in every later tick; the bytes
    // that arrived since their last tick go into the next tick's speed.
    quint64 lazyDone = 0;
    quint64 lazyTotal = 0;
    quint64 lazySpeed = 0;

    // Sum of the subtasks' progressValue, kept up to date per report so that a progress update
    // costs the same however many subtasks there are. long double keeps a million
    // additions and subtractions far inside 1e-9 of the plain sum.
    long double progressSum = 0;
};
