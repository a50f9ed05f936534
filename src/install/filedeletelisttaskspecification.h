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
    void onReset() override;

private:
    void makeSubtasksAndStart();
};
