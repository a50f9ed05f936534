#pragma once

#include "install/slowfileoptaskspecification.h"

// Unpacks a gzip file on the pool. Data that is not gzip at all is copied through unchanged.
class FileUnzipTaskSpecification final : public SlowFileOpSpecification {
    Q_OBJECT

public:
    FileUnzipTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                               const QString& dest, QObject* parent, double weight);

protected:
    ASyncFunc* createFunction() override;
};

class FileUnzipFunc final : public SlowFileOpFunc {
    Q_OBJECT

public:
    using SlowFileOpFunc::SlowFileOpFunc;

    // Unpacks gzSource into dest (overwriting it); false on any open, read or write failure.
    bool unzipFile(const QString& dest, const QString& gzSource);

protected:
    // A failure leaves no destination file behind.
    bool run() override;
};
