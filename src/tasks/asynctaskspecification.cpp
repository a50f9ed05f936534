#include "asynctaskspecification.h"

#include <QThreadPool>

void ASyncFunc::execute() {
    const bool res = run();
    emit runResult(res);
}

ASyncRun::ASyncRun(ASyncFunc* func)
    : func(func) {}

ASyncRun::~ASyncRun() {
    delete func;
}

void ASyncRun::run() {
    func->execute();
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, qreal weight)
    : TaskSpecification(parent, weight) {}

void ASyncTaskSpecification::execute() {
    ASyncFunc* func = createFunction();
    connectDefaultSignals(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // Results come only through the GUI thread's event loop, so this is in place before any.
    state = Running;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func) {
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::reset() {
    QThreadPool::globalInstance()->waitForDone();
    TaskSpecification::reset();
}

void ASyncTaskSpecification::onRunResult(bool res) {
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress) {
    setProgress(progress);
}

void ASyncTaskSpecification::runDone(bool ok) {
    if (state != Running)
        return;
    if (ok)
        finish();
    else
        errorCancel();
}
