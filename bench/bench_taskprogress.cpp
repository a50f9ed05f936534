// Cost of one progress report travelling through a composed task, by number of subtasks.
// The figure must not grow with the number of subtasks.
#include "support/tasklog.h"
#include "tasks/composedtaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

namespace {

double nanosecondsPerUpdate(int subtaskCount, int steps) {
    // A download list of this many files under the run's root, as in a real update.
    Composite root(1, 1.0, nullptr);
    auto* list = new Composite(subtaskCount, 0.4, &root);
    root.add(list);
    QList<ManualTask*> subs;
    for (int i = 0; i < subtaskCount; ++i) {
        subs << new ManualTask(list, 1.0 / subtaskCount);
        list->add(subs.last());
    }
    root.execute();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    QElapsedTimer timer;
    timer.start();
    // Like a download list: each file reports its chunks while it downloads.
    for (ManualTask* s : std::as_const(subs)) {
        for (int step = 1; step <= steps; ++step)
            s->setProgress(double(step) / steps);
    }
    const qint64 ns = timer.nsecsElapsed();
    return double(ns) / (double(subtaskCount) * steps);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int steps = 50;
    std::printf("progress update cost through a composed task (%d reports per subtask)\n", steps);
    nanosecondsPerUpdate(200, steps); // warm-up
    double first = 0;
    for (int n : {200, 2000, 20000}) {
        double best = 1e30;
        for (int round = 0; round < 5; ++round)
            best = std::min(best, nanosecondsPerUpdate(n, steps));
        if (first == 0)
            first = best;
        std::printf("%6d subtasks: %8.1f ns per update  (%.2fx the cost at 200)\n", n, best,
                    best / first);
    }
    return 0;
}
