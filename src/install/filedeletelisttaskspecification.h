#pragma once

#include "tasks/composedtaskspecification.h"

// Deletes every entry of the delete list (paths relative to the application root), one at a
// time. A file that cannot be deleted is skipped silently; the step always finishes.
class FileDeleteListTaskSpecification final : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // deleteList is not owned.
    FileDeleteListTaskSpecification(QList<QString>* deleteList, QObject* parent, double weight);

    void execute() override;

    QList<QString>* deleteList;

protected:
    // The file tasks are made as they start and deleted when they end.
    TaskSpecification* makeSubTask(qsizetype index) override;
    void onReset() override;

private:
    void makeSubtasksAndStart();

    // Taken when the step starts.
    QString appRoot;
};
