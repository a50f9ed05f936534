#include "slowfileoptaskspecification.h"

SlowFileOpSpecification::SlowFileOpSpecification(QString errorText, RollbackDataList* rollbackList,
                                                 const QString& source, const QString& dest,
                                                 QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , sourcePath(source)
    , destPath(dest)
    , errorText(std::move(errorText)) {}

void SlowFileOpSpecification::runDone(bool ok) {
    if (!ok)
        emit message(errorText);
    // Recorded whatever our state: the file has been written even if nobody waits any more.
    else if (rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destPath));
    ASyncTaskSpecification::runDone(ok);
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& dest)
    : sourcePath(source)
    , destPath(dest) {}
