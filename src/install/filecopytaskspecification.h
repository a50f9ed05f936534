#pragma once

#include "install/slowfileoptaskspecification.h"

// Copies a file on the pool into a new file, or gives it a second name where the file system
// allows; fails when anything exists at the destination and leaves no partial destination behind.
class FileCopyTaskSpecification final : public SlowFileOpSpecification {
    Q_OBJECT

public:
    // shownDest, when given, names the destination in the failure line instead of dest.
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                              const QString& dest, int mode, QObject* parent, double weight,
                              const QString& shownDest = {});
};
