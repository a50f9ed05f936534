#pragma once

#include "install/rollback.h"
#include "tasks/taskspecification.h"

// A leaf task doing one quick file-system operation on the GUI thread. It ends inside execute(),
// so its finished() or canceled() has been emitted when execute() returns.
class FastFileOpTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    // rollbackList (not owned, may be null) receives the undo records of successful changes.
    FastFileOpTaskSpecification(RollbackDataList* rollbackList, const QString& targetPath,
                                QObject* parent, double weight);

    void execute() override;

    RollbackDataList* rollbackList;
    QString targetPath;

protected:
    // Does the operation; on failure has emitted one message line and returns false.
    virtual bool doOp() = 0;
    void addRollbackOp(const RollbackData& data);
};
