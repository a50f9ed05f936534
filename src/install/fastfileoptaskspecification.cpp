#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(RollbackDataList* rollbackList,
                                                         const QString& targetPath, QObject* parent,
                                                         double weight)
    : TaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , targetPath(targetPath) {}

void FastFileOpTaskSpecification::execute() {
    setRunning();
    if (doOp())
        finish();
    else
        errorCancel();
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData& data) {
    if (rollbackList)
        rollbackList->add(data);
}
