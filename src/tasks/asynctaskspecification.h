#pragma once

#include "taskspecification.h"

#include <QRunnable>

// The worker: run() executes on a thread of the global pool. It reports back only through its
// signals, which the task receives queued, in emission order; runResult() always comes last.
class ASyncFunc : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ASyncFunc)

public:
    ASyncFunc() = default;

    // Calls run() and emits runResult() with its value. Runs on the pool thread.
    void execute();

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // The worker's own fraction 0..1; the task scales it by its weight.
    void progress(qreal progress);

protected:
    virtual bool run() = 0;
};

// The runnable the pool runs and deletes after run(); it owns the worker, which therefore dies on
// the pool thread right after its result was emitted.
class ASyncRun final : public QRunnable {
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;
    void run() override;

private:
    ASyncFunc* func;
};

// A task whose work runs on QThreadPool::globalInstance(). It keeps no pointer to its worker:
// data the worker fills is owned by the task and left alone until runResult() has arrived.
// It never ends as UserCanceled: a user's cancel only marks it, the work runs to its end.
class ASyncTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, qreal weight);

    void execute() override;
    // Waits until the whole global pool is idle, so a late result finds the task Ready.
    void reset() override;

protected:
    // A new worker, without QObject parent, set up with the task's inputs.
    virtual ASyncFunc* createFunction() = 0;
    virtual void connectDefaultSignals(ASyncFunc* func);
    // Turns the worker's result into the end; overrides take over results, then call this.
    virtual void runDone(bool ok);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    // Counts executions and resets, so that signals of an earlier run's worker are dropped.
    quint64 currentRun = 0;
};
