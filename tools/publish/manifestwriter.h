#pragma once

#include "verify/releasemanifest.h"

#include <QString>
#include <QStringList>

class RsaKey;

struct ManifestOptions {
    QString versionName;
    // Days until the manifest expires; 0 for never.
    int expiresDays = 0;
    // Listed in the manifest, so that its signature covers them.
    QList<DeltaPatchEntry> patches;
};

// Writes TYPE.manifest and its signature TYPE.manifest.sig beside the product ini TYPE.ini,
// binding the ini's SHA-256 and size to its update type and the given version. An existing
// manifest is replaced only with overwrite (renewing an expiry). Throws PublishError.
void writeManifest(const QString& iniPath, int version, const ManifestOptions& options,
                   const RsaKey& key, bool overwrite);

// The problems of the manifest beside iniPath (signature, type, version, product ini, expiry);
// empty when it is sound. *present is false, and the list empty, when there is no manifest.
// version 0 skips the version comparison.
QStringList manifestProblems(const QString& iniPath, int version, const RsaKey& key, bool* present);
