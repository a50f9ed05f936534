#pragma once

#include "install/fastfileoptaskspecification.h"

// Deletes one file. A deletion cannot be undone, so nothing is recorded. With failOnError false
// a file that cannot be deleted (or does not exist) is skipped silently.
class FileDeleteTaskSpecification final : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool failOnError, const QString& filePath, QObject* parent,
                                double weight);

    bool failOnError;

protected:
    bool doOp() override;
};
