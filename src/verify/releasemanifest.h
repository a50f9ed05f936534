#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

struct Rsa_key;

// The release manifest: a small ini next to the product ini ("TYPE.manifest", signed into
// "TYPE.manifest.sig" with RSA-PSS over SHA-256) that binds the build type, the version and the
// exact product ini of a release, so that a signed ini cannot be replayed as another release.
struct ReleaseManifest {
    // Far above any real manifest; bounds its download.
    static constexpr qint64 MaxFileSize = qint64(64) * 1024;

    QString type;
    int version = 0;
    QString versionName;
    // Lower-case hex.
    QByteArray iniSha256;
    qint64 iniSize = -1;
    QDateTime published;
    // Invalid when the release never expires.
    QDateTime expires;

    // Reads the manifest file; false, with the reason in *error, when a field is missing or
    // malformed.
    bool read(const QString& path, QString* error);
    // Writes it with QSettings (the file must not exist yet); false when that fails.
    bool write(const QString& path) const;

    static QString fileName(const QString& updateType);
};

// SHA-256 and size of a whole file, streamed; false when it cannot be read.
bool sha256OfFile(const QString& path, QByteArray* hexDigest, qint64* size);

// Whether sig is a valid manifest signature of data under key; a malformed signature is false.
bool verifyManifestSignature(Rsa_key* key, const QByteArray& data, QByteArray sig);
