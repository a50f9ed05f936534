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
    ++currentRun;
    ASyncFunc* func = createFunction();
    connectDefaultSignals(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // Results come only through the GUI thread's event loop, so this is in place before any.
    state = Running;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func) {
    // A worker of an earlier run may still have signals queued after reset() and a new
    // execute(); only the current run's worker may report or end the task.
    const quint64 run = currentRun;
    connect(
        func, &ASyncFunc::runResult, this,
        [this, run](bool res) {
            if (run == currentRun)
                onRunResult(res);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::message, this,
        [this, run](const QString& text) {
            if (run == currentRun)
                emit message(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::error, this,
        [this, run](const QString& text) {
            if (run == currentRun)
                emit error(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::progress, this,
        [this, run](qreal progress) {
            if (run == currentRun)
                onProgress(progress);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::reset() {
    QThreadPool::globalInstance()->waitForDone();
    ++currentRun;
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
