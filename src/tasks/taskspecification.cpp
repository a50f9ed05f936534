#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, qreal weight)
    : QObject(parent)
    , parentProgressRange(weight) {}

void TaskSpecification::reset() {
    cancelRequested = false;
    currentState = Ready;
    setProgress(0.0);
}

void TaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                 bool& downloading) {
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled() {
    cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification*) {}

void TaskSpecification::setParentProgressRange(qreal weight) {
    parentProgressRange = weight;
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other) {
    if (other != this && currentState == Running)
        handleOtherTaskCancelled(other);
}

void TaskSpecification::setRunning() {
    currentState = Running;
}

void TaskSpecification::setProgress(qreal fraction) {
    weightedProgress = fraction * parentProgressRange;
    emit updateProgress(weightedProgress);
}

bool TaskSpecification::endOnce(State end) {
    Q_ASSERT_X(!isEnd(currentState), "TaskSpecification", "a task ended twice");
    if (isEnd(currentState))
        return false;
    currentState = end;
    return true;
}

void TaskSpecification::finish() {
    if (!endOnce(Finished))
        return;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel() {
    if (endOnce(ErrorCanceled))
        emit canceled(this);
}

void TaskSpecification::userCancel() {
    if (endOnce(UserCanceled))
        emit canceled(this);
}
