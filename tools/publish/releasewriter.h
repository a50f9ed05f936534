#pragma once

#include "verify/releasemanifest.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// Everything `quillon-publish release` is told on its command line.
struct ReleaseOptions {
    QString buildDir;
    QString version;
    QString mirrorRoot;
    QString keyFile;
    QString updateType = QStringLiteral("client_linux_amd64");
    QString section = QStringLiteral("client");
    qint64 gzipMinSize = 1024;
    QString previousIni; // optional
    QString changelog;   // optional
    QString versionName; // optional, for the manifest
    int expiresDays = 0; // 0: the manifest never expires
    // Earlier versions to make patches from: versions of this mirror tree, release or build
    // directories.
    QStringList deltaFrom;
};

// Writes one release into the mirror tree: ROOT/VERSION/ with the section's files (gzipped where
// that pays), the product ini, its signature, the release manifest and the change log. The tree is
// built in a hidden sibling and renamed into place at the end, so a failure leaves no partial
// release.
class ReleaseWriter final {
public:
    explicit ReleaseWriter(ReleaseOptions options);

    // Throws PublishError; prints progress on stderr when that is a terminal.
    void run();

    QString releaseDir() const;

private:
    struct BuildFile {
        QString path; // relative to the build directory, "/"-separated
        qint64 size;
    };
    struct IniLine {
        QString key;
        QString value;
    };

    void validateOptions() const;
    void collectBuildFiles();
    // The build's file paths and every directory above them.
    QSet<QString> occupiedPaths() const;
    QStringList obsoletePaths() const;
    void writeFiles(const QString& sectionDir);
    void writeProductIni(const QString& iniPath, const QStringList& deletes) const;
    // Patches from each earlier version into releaseDir/patches, with a line per version.
    QList<DeltaPatchEntry> makePatches(const QString& releaseDir);

    ReleaseOptions options;
    QList<BuildFile> files;
    qint64 totalBytes = 0;
    QList<IniLine> lines;
    struct Written {
        QString md5;         // of the file itself
        qint64 download = 0; // what an updater fetches: the gzip when there is one
    };
    QHash<QString, Written> written;
    QStringList patchReport;
    int compressedCount = 0;
    qint64 mirrorBytes = 0;
};
