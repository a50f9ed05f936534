#include "asynctaskspecification.h"

#include <QtConcurrent/QtConcurrentRun>

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, qreal weight)
    : TaskSpecification(parent, weight) {}

void ASyncTaskSpecification::execute() {
    dropWatcher();
    const quint64 run = ++runNumber;
    if (runsInline()) {
        setRunning();
        QList<ASyncEvent> events;
        ASyncReport report(&events);
        report.done(createWork()(report));
        for (ASyncEvent& event : events) {
            // A report may reset or restart the task; the rest belongs to a run that is over.
            if (run != runNumber)
                return;
            deliver(event);
        }
        return;
    }
    watcher = new QFutureWatcher<ASyncEvent>(this);
    connect(watcher, &QFutureWatcherBase::resultReadyAt, this,
            [this, from = watcher](int index) { onEvent(from, index); });
    watcher->setFuture(QtConcurrent::run([work = createWork()](QPromise<ASyncEvent>& promise) {
        ASyncReport report(&promise);
        report.done(work(report));
    }));
    // Reports come only through the GUI thread's event loop, so this is in place before any.
    setRunning();
}

// Reports of a run that has been reset are ignored rather than waited for: the work owns its
// inputs, so it may run on to its end after the task has moved on or even been deleted.
void ASyncTaskSpecification::reset() {
    ++runNumber;
    dropWatcher();
    TaskSpecification::reset();
}

void ASyncTaskSpecification::dropWatcher() {
    if (!watcher)
        return;
    disconnect(watcher, nullptr, this, nullptr);
    // Later: this may run inside the slot of one of its reports.
    watcher->deleteLater();
    watcher = nullptr;
}

void ASyncTaskSpecification::onEvent(QFutureWatcher<ASyncEvent>* from, int index) {
    // A report may reset or restart the task; whatever the old watcher still delivers is stale.
    if (from != watcher)
        return;
    ASyncEvent event = from->resultAt(index);
    const bool last = event.kind == ASyncEvent::Done;
    deliver(event);
    // The run is over: its store of reports (one per file for some works) and its value go.
    if (last && from == watcher)
        dropWatcher();
}

void ASyncTaskSpecification::deliver(ASyncEvent& event) {
    switch (event.kind) {
    case ASyncEvent::Message:
        emit message(event.text);
        break;
    case ASyncEvent::Error:
        emit error(event.text);
        break;
    case ASyncEvent::Progress:
        setProgress(event.fraction);
        break;
    case ASyncEvent::ProgressSteps: {
        // A listener may reset or restart the task: the rest then belongs to a run that is over.
        const quint64 run = runNumber;
        for (int step = event.firstStep; step <= event.lastStep && run == runNumber; ++step)
            setProgress(qreal(step) / event.total);
        break;
    }
    case ASyncEvent::Done:
        runDone(event.ok, event.value);
        break;
    }
}

void ASyncTaskSpecification::runDone(bool ok, std::any&) {
    if (state() != Running)
        return;
    if (ok)
        finish();
    else
        errorCancel();
}
