#pragma once

#include "install/slowfileoptaskspecification.h"

// Unpacks a gzip file on the pool into a new file. Data that is not gzip at all is copied through
// unchanged. More than maxSize unpacked bytes fail the file before they are written.
class FileUnzipTaskSpecification final : public SlowFileOpSpecification {
    Q_OBJECT

public:
    // shownDest, when given, names the destination in the failure line instead of dest.
    FileUnzipTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                               const QString& dest, int mode, quint64 maxSize, QObject* parent,
                               double weight, const QString& shownDest = {});
};
