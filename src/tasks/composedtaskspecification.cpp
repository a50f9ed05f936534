#include "composedtaskspecification.h"

#include <QElapsedTimer>
#include <QPointer>

#include <utility>

ComposedTaskSpecification::ComposedTaskSpecification(int maxRunningTasks, qreal weight,
                                                     QObject* parent)
    : TaskSpecification(parent, weight)
    , maxRunningTasks(maxRunningTasks) {
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification() {
    for (TaskSpecification* sub : subTasks + lazyLive) {
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

void ComposedTaskSpecification::setLazySubTasks(qsizetype count) {
    lazyCount = count;
}

TaskSpecification* ComposedTaskSpecification::makeSubTask(qsizetype) {
    Q_UNREACHABLE();
    return nullptr;
}

void ComposedTaskSpecification::executeSubTasks() {
    setRunning();
    const int n =
        int(std::min<qsizetype>(pendingTasks.size() + lazyCount - lazyMade, maxRunningTasks));
    if (n == 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask() {
    // A subtask that ends inside its execute() frees its slot at once, and the next one starts
    // here: a turn of the event loop per subtask cost more than the work of many (a rename, a
    // delete). The budget lets the window answer between such runs.
    const QPointer<ComposedTaskSpecification> alive(this);
    QElapsedTimer clock;
    clock.start();
    for (int startsLeft = 1; startsLeft > 0; --startsLeft) {
        const bool more = !pendingTasks.isEmpty() || lazyMade < lazyCount;
        if (!more || cancelSeen || userCancelRequested()) {
            if (runningTasks.isEmpty() && !doneReported) {
                doneReported = true;
                subtasksDone();
            }
            return;
        }
        TaskSpecification* sub = nullptr;
        if (!pendingTasks.isEmpty()) {
            sub = pendingTasks.takeFirst();
        } else {
            sub = makeSubTask(lazyMade++);
            connectSignals(sub);
            // A fresh subtask adds nothing, so unlike addSubTask() this emits no progress.
            progressSum += static_cast<long double>(sub->weightedProgress);
            sub->countedProgress = sub->weightedProgress;
            lazyLive.append(sub);
        }
        runningTasks.append(sub);
        starting = sub;
        sub->execute();
        if (!alive)
            return;
        starting = nullptr;
        // Ended and cut off inside execute(), which has returned: nothing of it is on the stack.
        delete std::exchange(endedInline, nullptr);
        startsLeft += std::exchange(freedInline, 0);
        if (startsLeft > 1 && clock.hasExpired(inlineBudgetMs)) {
            while (--startsLeft > 0)
                emit startNextTask();
            return;
        }
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* sub) {
    runningTasks.removeOne(sub);
    foldLazy(sub);
    if (starting)
        ++freedInline;
    else
        emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* sub) {
    runningTasks.removeOne(sub);
    foldLazy(sub);
    if (!cancelSeen) {
        cancelSeen = true;
        // Running siblings that abort re-enter this slot before the emission returns. During the
        // user's cancel they get that instead: the broadcast would end them as failed before the
        // cancel reached them, and the whole run with them.
        if (userCancelRequested()) {
            const QList<TaskSpecification*> running = runningTasks;
            for (TaskSpecification* other : running)
                other->userCanceled();
        } else {
            emit otherTaskCancelled(sub);
        }
    }
    if (runningTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

TaskSpecification::State ComposedTaskSpecification::getStateFromSubTasks() const {
    bool userCanceledSeen = false;
    bool allFinished = true;
    for (const TaskSpecification* sub : subTasks + lazyLive) {
        if (sub->state() == ErrorCanceled)
            return ErrorCanceled;
        if (sub->state() == UserCanceled)
            userCanceledSeen = true;
        if (sub->state() != Finished)
            allFinished = false;
    }
    if (lazyErrorCanceled > 0)
        return ErrorCanceled;
    userCanceledSeen = userCanceledSeen || lazyUserCanceled > 0;
    // Those not made yet, or still running, have not finished; no ended one was cancelled.
    allFinished = allFinished && lazyMade == lazyCount && lazyLive.isEmpty();
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
    // Ended lazy subtasks count with their figures at their end. One that ends during the loop
    // stays in its copy of the list, so it is ticked once, as an eager one would be; the bytes
    // its end took over (lazySpeed) are added after the loop.
    downloadDone += lazyDone;
    downloadTotal += lazyTotal;
    const QList<TaskSpecification*> subs = subTasks + lazyLive;
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
    speed += std::exchange(lazySpeed, 0);
}

void ComposedTaskSpecification::foldLazy(TaskSpecification* sub) {
    if (!lazyLive.removeOne(sub))
        return;
    if (sub->state() == UserCanceled)
        ++lazyUserCanceled;
    else if (sub->state() != Finished)
        ++lazyErrorCanceled;
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    sub->timeTick(done, total, speed, downloading);
    lazySpeed += speed;
    if (total != 0) {
        lazyDone += done;
        lazyTotal += total;
    }
    // Its progress stays in progressSum. Not now: we are inside its own end signal.
    if (sub != starting) {
        release(sub);
        return;
    }
    disconnect(sub, nullptr, this, nullptr);
    disconnect(this, nullptr, sub, nullptr);
    endedInline = sub;
}

void ComposedTaskSpecification::release(TaskSpecification* sub) {
    disconnect(sub, nullptr, this, nullptr);
    disconnect(this, nullptr, sub, nullptr);
    sub->deleteLater();
}

void ComposedTaskSpecification::dropLazy() {
    for (TaskSpecification* sub : std::as_const(lazyLive))
        release(sub);
    lazyLive.clear();
    lazyMade = 0;
    lazyUserCanceled = lazyErrorCanceled = 0;
    lazyDone = lazyTotal = lazySpeed = 0;
}

void ComposedTaskSpecification::userCanceled() {
    TaskSpecification::userCanceled();
    if (state() != Running)
        return;
    onAbort(UserCanceled);
    if (state() != Running)
        return;
    // A copy: a subtask may end, and end this task, while we walk the list.
    const QList<TaskSpecification*> subs = subTasks + lazyLive;
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
    dropLazy();
    // The lazy subtasks' share goes with them; the eager ones take theirs back as they reset.
    progressSum = 0;
    for (const TaskSpecification* sub : std::as_const(subTasks))
        progressSum += static_cast<long double>(sub->countedProgress);
    for (TaskSpecification* sub : std::as_const(subTasks))
        sub->reset();
    pendingTasks = subTasks;
    runningTasks.clear();
    cancelSeen = false;
    doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasks() {
    for (TaskSpecification* sub : std::as_const(subTasks))
        release(sub);
    dropLazy();
    lazyCount = 0;
    subTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    progressSum = 0;
}
