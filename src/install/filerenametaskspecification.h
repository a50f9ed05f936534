#pragma once

#include "install/fastfileoptaskspecification.h"

// Renames one file without ever replacing an existing one; records a Rename.
class FileRenameTaskSpecification final : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& oldName, const QString& newName,
                                RollbackDataList* rollbackList, QObject* parent, double weight);

    QString sourcePath;

protected:
    bool doOp() override;
};
