#include "tasklog.h"

void TaskLog::watch(TaskSpecification* task, const QString& name) {
    connect(task, &TaskSpecification::updateProgress, this,
            [this, name](qreal v) { add(name + QStringLiteral(" progress %1").arg(v)); });
    connect(task, &TaskSpecification::finished, this, [this, name, task](TaskSpecification* t) {
        add(name + (t == task ? " finished" : " finished (wrong argument)"));
    });
    connect(task, &TaskSpecification::canceled, this, [this, name, task](TaskSpecification* t) {
        add(name + (t == task ? QStringLiteral(" canceled %1").arg(int(t->state()))
                              : QStringLiteral(" canceled (wrong argument)")));
    });
    connect(task, &TaskSpecification::error, this,
            [this, name](const QString& text) { add(name + " error " + text); });
    connect(task, &TaskSpecification::message, this,
            [this, name](const QString& text) { add(name + " message " + text); });
}

QStringList TaskLog::only(const QString& kind) const {
    QStringList out;
    for (const QString& line : lines) {
        if (line.section(' ', 1, 1) == kind)
            out.append(line);
    }
    return out;
}

QStringList texts(const QSignalSpy& spy) {
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

TickReport tick(TaskSpecification& task, int times) {
    TickReport report;
    for (int i = 0; i < times; ++i) {
        report = TickReport();
        task.timeTick(report.done, report.total, report.speed, report.downloading);
    }
    return report;
}
