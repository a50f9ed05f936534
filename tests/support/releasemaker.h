#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The development key pair committed in keys/ (its private half is for tests and the demo only).
QString devPrivateKeyPath();
QString devPublicKeyPath();

// Signs `path` with the development private key into `path`.sig, as quillon-publish sign would.
// Returns false (with a QWARN) when that fails.
bool signWithDevKey(const QString& path);
// The same with the release manifest's scheme (RSA-PSS over SHA-256).
bool signManifestWithDevKey(const QString& path);
// Re-signs a hand-edited product ini and, when its release has a manifest, binds the manifest to
// the edited ini and re-signs it too, as a careless publisher would.
bool resignProductIni(const QString& productIni);

// Options of quillon-publish release; empty or negative values keep the tool's defaults.
struct PublishOptions {
    QString updateType;
    QString section;
    qint64 gzipMinSize = -1;
    QString previous;
    QString changelog;
    QString privateKey; // default: the development private key
    QStringList deltaFrom;
};

// What one run of quillon-publish left behind.
struct PublishResult {
    bool ok = false; // exit code 0
    int exitCode = -1;
    QString stdOut;
    QString stdErr;
    QString releaseDir; // mirrorRoot/version
    QString productIni; // releaseDir/updateType.ini
};

// Runs build/bin/quillon-publish release to publish `buildDir` as `version` under `mirrorRoot`,
// signed with the development key unless options say otherwise.
PublishResult makeRelease(const QString& buildDir, int version, const QString& mirrorRoot,
                          const PublishOptions& options = {});

// Runs build/bin/quillon-publish with the given arguments; for the tool's own tests.
PublishResult runPublish(const QStringList& arguments);
