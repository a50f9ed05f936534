#pragma once

#include "taskspecification.h"

#include <QFutureWatcher>
#include <QPromise>
#include <QString>

#include <any>
#include <functional>

// One report of a worker to its task: a log line, an error text, its own fraction 0..1, several
// fractions step/total for step = firstStep..lastStep, or, always last, its verdict with an
// optional value (lists, records) handed back by value.
struct ASyncEvent {
    enum Kind { Message, Error, Progress, ProgressSteps, Done };
    Kind kind = Done;
    QString text;
    qreal fraction = 0;
    int firstStep = 0, lastStep = 0, total = 0;
    bool ok = false;
    std::any value;
};

// What a worker returns: its verdict and, for workers that produce more than a verdict, a value.
struct ASyncResult {
    ASyncResult(bool ok, std::any value = {})
        : ok(ok)
        , value(std::move(value)) {}
    bool ok;
    std::any value;
};

// The worker's side of the hand-back: reports reach the task in the order they were made.
// Without a promise (a worker run synchronously, outside any task) reports go nowhere.
class ASyncReport {
public:
    explicit ASyncReport(QPromise<ASyncEvent>* promise = nullptr)
        : promise(promise) {}
    // A worker run on the task's own thread: its reports are kept for the task to deliver.
    explicit ASyncReport(QList<ASyncEvent>* kept)
        : kept(kept) {}
    void message(const QString& text) { add(ASyncEvent::Message, text); }
    void error(const QString& text) { add(ASyncEvent::Error, text); }
    void progress(qreal fraction) { add(ASyncEvent::Progress, {}, fraction); }
    // The fractions firstStep/total, ..., lastStep/total, each reported in turn, handed over at
    // once: a hand-over costs a worker about as much as a small step of its own.
    void progressSteps(int firstStep, int lastStep, int total) {
        ASyncEvent event;
        event.kind = ASyncEvent::ProgressSteps;
        event.firstStep = firstStep;
        event.lastStep = lastStep;
        event.total = total;
        put(std::move(event));
    }
    // The worker's verdict, after all its reports.
    void done(ASyncResult result) {
        ASyncEvent event;
        event.ok = result.ok;
        event.value = std::move(result.value);
        put(std::move(event));
    }

private:
    void add(ASyncEvent::Kind kind, const QString& text, qreal fraction = 0) {
        ASyncEvent event;
        event.kind = kind;
        event.text = text;
        event.fraction = fraction;
        put(std::move(event));
    }
    void put(ASyncEvent&& event) {
        if (kept)
            kept->append(std::move(event));
        else if (promise)
            promise->addResult(std::move(event));
    }
    QPromise<ASyncEvent>* promise = nullptr;
    QList<ASyncEvent>* kept = nullptr;
};

// A task whose work runs on QThreadPool::globalInstance() through QtConcurrent. The work is a
// function that owns copies of everything it reads and hands its results back by value; it is
// never a QObject and never touches the task. A QFutureWatcher owned by the task delivers its
// reports on the GUI thread, in order, the verdict last. It never ends as UserCanceled: a user's
// cancel only marks it, the work runs to its end.
class ASyncTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, qreal weight);

    void execute() override;
    // Returns at once: the work of the run in progress goes on, and its reports are dropped.
    void reset() override;

protected:
    using Work = std::function<ASyncResult(ASyncReport&)>;

    // The work of one run, set up with copies of the task's inputs; runs on a pool thread.
    virtual Work createWork() = 0;
    // Turns the verdict into the end; overrides take over the value, then call this.
    virtual void runDone(bool ok, std::any& value);
    // Work so small that the round trip through the pool would cost more than the work itself
    // runs at once on this thread; its reports and verdict are delivered in the same order.
    virtual bool runsInline() { return false; }

private:
    void dropWatcher();
    void onEvent(QFutureWatcher<ASyncEvent>* from, int index);
    void deliver(ASyncEvent& event);

    // The watcher of the run in progress; null when none runs.
    QFutureWatcher<ASyncEvent>* watcher = nullptr;
    // Counts runs and resets, so that an inline run stops delivering once its owner moved on.
    quint64 runNumber = 0;
};
