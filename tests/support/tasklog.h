#pragma once

#include "tasks/composedtaskspecification.h"

#include <QSignalSpy>
#include <QStringList>

#include <functional>

// One line per signal of the watched tasks, in emission order, e.g. "a progress 0.4",
// "a finished", "b canceled 3", "root error disk full", "a start" (see ManualTask).
class TaskLog final : public QObject {
public:
    void watch(TaskSpecification* task, const QString& name);
    void add(const QString& line) { lines.append(line); }
    // The lines whose second word is the given kind ("finished", "canceled", ...).
    QStringList only(const QString& kind) const;

    QStringList lines;
};

// A leaf task that the test ends by hand; its start is logged when a log is given. Its download
// figures are set by hand too; it reports them to timeTick() as a download does.
class ManualTask final : public TaskSpecification {
public:
    ManualTask(QObject* parent, qreal weight, TaskLog* log = nullptr, QString name = {})
        : TaskSpecification(parent, weight)
        , log(log)
        , name(std::move(name)) {}
    void execute() override {
        setRunning();
        if (log)
            log->add(name + " start");
    }
    using TaskSpecification::errorCancel;
    using TaskSpecification::finish;
    using TaskSpecification::setProgress;
    using TaskSpecification::userCancel;
    void fail(const QString& text) {
        emit error(text);
        errorCancel();
    }
    void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading) override {
        done = received;
        total = size;
        speed = received - ticked;
        ticked = received;
        downloading = state() == Running && size != 0;
    }
    // Like a download, it starts again from nothing.
    void reset() override {
        received = size = ticked = 0;
        TaskSpecification::reset();
    }
    quint64 received = 0;
    quint64 size = 0;

private:
    quint64 ticked = 0;
    TaskLog* log;
    QString name;
};

// A composed task over subtasks the caller creates up front and hands over with add(), or has
// made as they start with addLazy().
class Composite final : public ComposedTaskSpecification {
public:
    using Maker = std::function<TaskSpecification*(qsizetype)>;
    Composite(int limit, qreal weight, QObject* parent)
        : ComposedTaskSpecification(limit, weight, parent) {}
    void add(TaskSpecification* sub) { addSubTask(sub); }
    void addLazy(qsizetype count, Maker make) {
        maker = std::move(make);
        setLazySubTasks(count);
    }
    void execute() override { executeSubTasks(); }
    using ComposedTaskSpecification::abort;
    using ComposedTaskSpecification::runningTaskList;

protected:
    TaskSpecification* makeSubTask(qsizetype index) override { return maker(index); }

private:
    Maker maker;
};

// The first argument of each emission a spy caught, as text: messages, errors.
QStringList texts(const QSignalSpy& spy);

// What the engine's once-a-second poll reads from a task.
struct TickReport {
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
};
// Polls task `times` times; returns what the last poll reported.
TickReport tick(TaskSpecification& task, int times = 1);
