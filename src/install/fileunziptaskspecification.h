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

    quint64 maxSize;

protected:
    ASyncFunc* createFunction() override;
};

class FileUnzipFunc final : public SlowFileOpFunc {
    Q_OBJECT

public:
    FileUnzipFunc(const QString& source, const QString& dest, int mode, quint64 maxSize);

    quint64 maxSize;

protected:
    // A failure leaves no destination file behind.
    bool run() override;

private:
    bool unzipFile();
};
