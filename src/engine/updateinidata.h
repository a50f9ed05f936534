#pragma once

#include <QString>

// The record of a run in progress: group `current` of "update.ini" in the installation
// directory (target version, temporary directory, update type). It lets the next start resume
// the run or clean up after it.
class UpdateIniData final {
public:
    static QString filename();
    // True and the outputs set (null ones skipped) only for a usable record: a numeric version,
    // a non-empty type, and a directory that exists and that the updater created for a run
    // (InstallLayout::isSessionDirectory), so that a stale or planted record can neither hand us
    // a directory to install from nor make us wipe someone else's.
    static bool get(int* version, QString* type, QString* dir);
    // The same; when the record is refused only because its directory is not ours, refusedDir
    // (if not null) names that directory, else it is cleared.
    static bool get(int* version, QString* type, QString* dir, QString* refusedDir);
    // True while group `current` holds anything: a run was recorded and has not ended well.
    static bool exists();
    static void modify(int version, const QString& dir, const QString& type);
    // Removes the group `current`; the other groups stay.
    static void cleanup();

    // Group `installed`: what the last finished update installed, and whether that release had
    // a manifest (from then on every release must have one). False when there is no record.
    static bool getInstalled(QString* type, int* version, bool* manifest);
    static void setInstalled(const QString& type, int version, bool manifest);
};
