#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

class QSettings;
struct Rsa_key;

// A patch the release offers: it turns the installed file at path, when its MD5 is baseMd5, into
// the file the product ini lists (resultMd5). Served at name, relative to the release directory.
struct DeltaPatchEntry {
    QString path;
    QString baseMd5;   // lower-case hex
    QString name;      // "patches/<baseMd5>-<resultMd5>.zst"
    QByteArray sha256; // lower-case hex
    qint64 size = 0;
    QString resultMd5; // lower-case hex

    // The name a patch between these two contents has.
    static QString nameFor(const QString& baseMd5, const QString& resultMd5);
};

// The release manifest: a small ini next to the product ini ("TYPE.manifest", signed into
// "TYPE.manifest.sig" with RSA-PSS over SHA-256) that binds the build type, the version and the
// exact product ini of a release, so that a signed ini cannot be replayed as another release.
struct ReleaseManifest {
    // Bounds its download; the patch list takes most of it, a few hundred bytes a patch. The
    // same bound as the product ini's.
    static constexpr qint64 MaxFileSize = qint64(16) << 20;

    QString type;
    int version = 0;
    QString versionName;
    // Lower-case hex.
    QByteArray iniSha256;
    qint64 iniSize = -1;
    QDateTime published;
    // Invalid when the release never expires.
    QDateTime expires;
    QList<DeltaPatchEntry> patches;

    // Reads the manifest file; false, with the reason in *error, when a field is missing or
    // malformed.
    bool read(const QString& path, QString* error);
    // Writes it with QSettings (the file must not exist yet); false when that fails.
    bool write(const QString& path) const;

    static QString fileName(const QString& updateType);
    // The product ini of an update type, as published and as fetched into a run's directory.
    static QString productIniFileName(const QString& updateType);

private:
    bool readPatches(QSettings& ini, QString* error);
};

// SHA-256 and size of a whole file, streamed; false when it cannot be read.
bool sha256OfFile(const QString& path, QByteArray* hexDigest, qint64* size);

// Whether sig is a valid manifest signature of data under key; a malformed signature is false.
bool verifyManifestSignature(Rsa_key* key, const QByteArray& data, QByteArray sig);
