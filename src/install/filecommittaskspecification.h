#pragma once

#include "install/fastfileoptaskspecification.h"
#include "install/posixfile.h"

#include <optional>

// Puts a file's new content, written to a sibling, into place. An entry at the path (a link
// included, never followed) is kept at oldPath: as a second name where the file system allows,
// renamed otherwise; then the sibling is renamed over the path. The path thus holds its whole
// old or its whole new content at every instant. Records CreateFile for a path that was free,
// Replace otherwise, in place of the sibling's own CreateFile record.
class FileCommitTaskSpecification final : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    FileCommitTaskSpecification(const QString& siblingPath, const QString& path,
                                const QString& oldPath, RollbackDataList* rollbackList,
                                QObject* parent, double weight);

    QString siblingPath;
    QString oldPath;
    // What the path held when its replacement began, for a caller that knows nothing can have
    // changed it since; otherwise the commit looks itself.
    std::optional<PosixFile::Entry> knownEntry;

protected:
    bool doOp() override;

private:
    bool failRename(const QString& from, const QString& to);
    void takeOverSibling(const RollbackData& data);
};
