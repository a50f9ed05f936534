#pragma once

#include "install/slowfileoptaskspecification.h"

// Copies a file on the pool, with the source's permissions; fails when the destination exists
// and leaves no partial destination behind.
class FileCopyTaskSpecification final : public SlowFileOpSpecification {
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                              const QString& dest, QObject* parent, double weight);

protected:
    ASyncFunc* createFunction() override;
};

class FileCopyFunc final : public SlowFileOpFunc {
    Q_OBJECT

public:
    using SlowFileOpFunc::SlowFileOpFunc;

protected:
    bool run() override;
};
