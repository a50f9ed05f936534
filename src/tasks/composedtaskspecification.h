#pragma once

#include "taskspecification.h"

#include <QList>

// A task made of subtasks: starts them in insertion order, at most maxRunningTasks at once, adds
// up their weighted progress, forwards their error() and message() signals, and ends when nothing
// runs any more, with a state derived from the subtasks.
//
// Subclasses create each subtask with this task as QObject parent, hand it to addSubTask() (which
// takes ownership), then call executeSubTasks(). Each start goes through the event loop, so a
// subtask that ends inside its own execute() never recurses into the next start.
class ComposedTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxRunningTasks, qreal weight, QObject* parent);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

signals:
    // Queued to onStartNextTask(): one emission starts one subtask (or ends the task).
    void startNextTask();

protected:
    // Called once per run when nothing runs and nothing more will start; ends the task.
    // Overrides do their closing work first and then call this version.
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification* subTask);

    void addSubTask(TaskSpecification* subTask);
    void executeSubTasks();
    State getStateFromSubTasks() const;
    // Disconnects every subtask and deletes it later; empties all lists.
    void clearSubTasks();

    QList<TaskSpecification*> subTasks;
    QList<TaskSpecification*> pendingTasks;
    QList<TaskSpecification*> runningTasks;
    QList<TaskSpecification*> doneTasks;
    int maxRunningTasks;
    bool cancelSeen = false;
    bool doneReported = false;

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification* subTask);
    void onSubTaskCanceled(TaskSpecification* subTask);

private:
    void onSubTaskProgress(TaskSpecification* subTask);
    void onUpdateProgress();

    // Sum of the subtasks' progressValue, kept up to date per report so that a progress update
    // costs the same however many subtasks there are. long double keeps a million
    // additions and subtractions far inside 1e-9 of the plain sum.
    long double progressSum = 0;
};
