#include "composedtaskspecification.h"

ComposedTaskSpecification::ComposedTaskSpecification(int maxRunningTasks, qreal weight,
                                                     QObject* parent)
    : TaskSpecification(parent, weight)
    , maxRunningTasks(maxRunningTasks) {
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification() {
    for (TaskSpecification* sub : std::as_const(subTasks)) {
        // Their signals must not reach what is left of this object while they die.
        disconnect(sub, nullptr, this, nullptr);
        // Children die with this object, at once: a deferred delete would leave an event behind
        // for each, and every object that dies with a posted event searches the whole queue.
        if (sub->parent() != this)
            sub->deleteLater();
    }
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* sub) {
    connect(sub, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(sub, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(sub, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(sub, &TaskSpecification::updateProgress, this, [this, sub] { onSubTaskProgress(sub); });
    connect(sub, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, sub,
            &TaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* sub) {
    subTasks.append(sub);
    pendingTasks.append(sub);
    connectSignals(sub);
    onSubTaskProgress(sub);
}

void ComposedTaskSpecification::executeSubTasks() {
    setRunning();
    const int n = int(std::min<qsizetype>(pendingTasks.size(), maxRunningTasks));
    if (n == 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask() {
    if (!pendingTasks.isEmpty() && !cancelSeen && !userCancelRequested()) {
        TaskSpecification* sub = pendingTasks.takeFirst();
        runningTasks.append(sub);
        sub->execute();
    } else if (runningTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* sub) {
    runningTasks.removeOne(sub);
    doneTasks.append(sub);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* sub) {
    runningTasks.removeOne(sub);
    doneTasks.append(sub);
    if (!cancelSeen) {
        cancelSeen = true;
        // Running siblings that abort re-enter this slot before the emission returns.
        emit otherTaskCancelled(sub);
    }
    if (runningTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

TaskSpecification::State ComposedTaskSpecification::getStateFromSubTasks() const {
    bool userCanceledSeen = false;
    bool allFinished = true;
    for (const TaskSpecification* sub : subTasks) {
        if (sub->state() == ErrorCanceled)
            return ErrorCanceled;
        if (sub->state() == UserCanceled)
            userCanceledSeen = true;
        if (sub->state() != Finished)
            allFinished = false;
    }
    if (userCanceledSeen)
        return UserCanceled;
    if (allFinished)
        return Finished;
    if (userCancelRequested())
        return UserCanceled;
    return cancelSeen ? ErrorCanceled : Running;
}

void ComposedTaskSpecification::subtasksDone() {
    switch (getStateFromSubTasks()) {
    case Finished:
        finish();
        break;
    case UserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::onSubTaskProgress(TaskSpecification* sub) {
    progressSum += static_cast<long double>(sub->weightedProgress) - sub->countedProgress;
    sub->countedProgress = sub->weightedProgress;
    onUpdateProgress();
}

void ComposedTaskSpecification::onUpdateProgress() {
    setProgress(static_cast<qreal>(progressSum));
}

void ComposedTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                         quint64& speed, bool& downloading) {
    downloading = false;
    const QList<TaskSpecification*> subs = subTasks;
    for (TaskSpecification* sub : subs) {
        quint64 done = 0, total = 0, subSpeed = 0;
        bool subDownloading = false;
        sub->timeTick(done, total, subSpeed, subDownloading);
        downloading = downloading || subDownloading;
        speed += subSpeed;
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::userCanceled() {
    TaskSpecification::userCanceled();
    if (state() != Running)
        return;
    onAbort(UserCanceled);
    if (state() != Running)
        return;
    // A copy: a subtask may end, and end this task, while we walk the list.
    const QList<TaskSpecification*> subs = subTasks;
    for (TaskSpecification* sub : subs)
        sub->userCanceled();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other) {
    onAbort(ErrorCanceled);
    if (state() == Running)
        emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::abort(State reason) {
    Q_ASSERT(reason == ErrorCanceled || reason == UserCanceled);
    cancelSeen = true;
    doneReported = true;
    if (reason == UserCanceled)
        userCancel();
    else
        errorCancel();
}

void ComposedTaskSpecification::reset() {
    onReset();
    for (TaskSpecification* sub : std::as_const(subTasks))
        sub->reset();
    pendingTasks = subTasks;
    runningTasks.clear();
    doneTasks.clear();
    cancelSeen = false;
    doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasks() {
    for (TaskSpecification* sub : std::as_const(subTasks)) {
        disconnect(sub, nullptr, this, nullptr);
        disconnect(this, nullptr, sub, nullptr);
        sub->deleteLater();
    }
    subTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
    progressSum = 0;
}
