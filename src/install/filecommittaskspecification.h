#pragma once

#include "install/fastfileoptaskspecification.h"
#include "install/posixfile.h"

#include <optional>

// Puts a file's new content, written to a sibling, into place. An entry at the path (a link
// included, never followed) is kept at oldPath: as a second name where the file system allows,
// renamed otherwise; then the sibling is renamed over the path. The path thus holds its whole
// old or its whole new content at every instant. Records CreateFile for a path that was free,
// Replace otherwise, in place of the sibling's own CreateFile record. The "sibling" may instead
// be a download of the run's temporary directory, moved into place (movedMode): then an undo
// gives it its name back (Rename, or Replace with keptAt).
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
    // Set when the sibling is a download to move rather than a file made for this commit: it must
    // be a regular file, and gets these permission bits first.
    std::optional<int> movedMode;

protected:
    bool doOp() override;

private:
    bool failRename(const QString& from, const QString& to);
    void takeOverSibling(const RollbackData& data);
};
