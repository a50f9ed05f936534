#pragma once

#include "install/productini.h"
#include "verify/releasemanifest.h"

#include <QHash>
#include <QString>

// An earlier version of a build that patches are made from: a build directory, or a release
// directory of a mirror tree (its product ini says where each file is, gzipped or not).
struct DeltaBase {
    // The version (a release directory's name), or the build directory's name.
    QString label;
    QString dir;
    // Release directories only: the section lines by installed path.
    QHash<QString, ProductIniLine> lines;

    // ARG is a version of the mirror tree at mirrorRoot, a release directory or a build
    // directory. Throws PublishError.
    static DeltaBase open(const QString& arg, const QString& mirrorRoot, const QString& updateType);

    // A plain file holding what this version installed at path, unpacked into scratchDir when it
    // is gzipped, and its MD5 (lower-case hex); empty when the version has no such file.
    QString plainFile(const QString& path, const QString& scratchDir, QString* md5) const;

private:
    mutable int unpackedCount = 0;
};

// Writes a patch from baseFile to newFile as releaseDir + "/" + the patch's name, unless one is
// there already. False, with nothing written, when the patch would not be smaller than limit
// or a file is above the patch ceiling. Throws PublishError when a file cannot be read or written.
bool makeDeltaPatch(const QString& baseFile, const QString& baseMd5, const QString& newFile,
                    const QString& newMd5, qint64 limit, const QString& releaseDir,
                    DeltaPatchEntry* entry);

// Applies patchFile to baseFile; false, with the reason, when that fails; else *md5 is the
// result's MD5 (lower-case hex).
bool applyDeltaPatch(const QString& baseFile, const QString& patchFile, qint64 resultSize,
                     QString* md5, QString* error);
