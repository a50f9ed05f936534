#pragma once

#include <QObject>

class ComposedTaskSpecification;

// A unit of update work. It is started once by execute(), reports weighted progress, messages and
// errors through signals, and ends exactly once through finish(), errorCancel() or userCancel().
// Only reset() leaves an end state. Lives on the GUI thread; never throws.
class TaskSpecification : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskSpecification)

public:
    enum class State { Ready = 0, Running = 1, Finished = 2, ErrorCanceled = 3, UserCanceled = 4 };
    Q_ENUM(State)
    using enum State;

    TaskSpecification(QObject* parent, qreal weight);

    // Starts the task; every implementation calls setRunning().
    virtual void execute() = 0;
    // Back to Ready; emits updateProgress(0).
    virtual void reset();
    // Polled once a second by the engine; only downloads report real figures.
    virtual void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                          bool& downloading);
    // The user asked to cancel. The base only notes it, so a task that cannot abort runs on.
    virtual void userCanceled();
    // Another task of the tree was cancelled while this one runs.
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

    void setParentProgressRange(qreal weight);

    State state() const { return currentState; }
    // The last value emitted by updateProgress: own fraction times parentProgressRange.
    double progressValue() const { return weightedProgress; }
    // Set by userCanceled(), cleared by reset().
    bool userCancelRequested() const { return cancelRequested; }
    static bool isEnd(State s) { return s >= Finished; }

    // The weight: the share of the parent's progress this task covers when complete.
    double parentProgressRange;

signals:
    // The task ended as Finished; the argument is the task itself.
    void finished(TaskSpecification* task);
    // The task ended as ErrorCanceled or UserCanceled; read the reason from its state.
    void canceled(TaskSpecification* task);
    // A failure text for the user; emitted before the errorCancel() it explains.
    void error(QString errorMessage);
    // Weighted progress; emitted on every setProgress(), changed or not.
    void updateProgress(qreal doneFrac);
    // A line for the details log.
    void message(QString message);
    // Broadcast to subtasks that the given task was cancelled.
    void otherTaskCancelled(TaskSpecification* task);

protected slots:
    void onOtherTaskCancelled(TaskSpecification* other);

protected:
    void setRunning();
    void setProgress(qreal fraction);
    // The only ways a task ends. Once ended, a task ignores further ends until reset() (and
    // asserts in debug builds): a second end would make its parent count it twice.
    void finish();
    void errorCancel();
    void userCancel();

private:
    friend class ComposedTaskSpecification;
    bool endOnce(State end);

    bool cancelRequested = false;
    double weightedProgress = 0;
    State currentState = Ready;
    // The part of weightedProgress that the parent has already added to its running sum.
    double countedProgress = 0;
};
