#pragma once

#include "install/fastfileoptaskspecification.h"

// Creates a directory and its missing ancestors, recording one CreateDir per level it made,
// outermost first, so that an undo removes them deepest first.
class DirCreateTaskSpecification final : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& dirPath, RollbackDataList* rollbackList,
                               QObject* parent, double weight);

protected:
    bool doOp() override;

private:
    bool tryCreateDir(const QString& dir);
};
