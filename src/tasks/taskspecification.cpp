#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, qreal weight)
    : QObject(parent)
    , parentProgressRange(weight) {}

void TaskSpecification::reset() {
    userCancelRequested = false;
    state = Ready;
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
    userCancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification*) {}

void TaskSpecification::setParentProgressRange(qreal weight) {
    parentProgressRange = weight;
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other) {
    if (other != this && state == Running)
        handleOtherTaskCancelled(other);
}

void TaskSpecification::setProgress(qreal fraction) {
    progressValue = fraction * parentProgressRange;
    emit updateProgress(progressValue);
}

void TaskSpecification::finish() {
    state = Finished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel() {
    state = ErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel() {
    state = UserCanceled;
    emit canceled(this);
}
