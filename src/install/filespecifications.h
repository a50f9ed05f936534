#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A patch fetched instead of a whole file; empty name when there is none.
struct FilePatchSpecification {
    // Relative to the release directory on the mirror, and to tempDir for the download.
    QString name;
    QByteArray sha256; // hex
    quint64 size = 0;
    // The installed file the patch applies to, relative to the application root.
    QString basePath;
    // Where the result goes, relative to tempDir, and what it must be.
    QString result;
    QString resultMd5;
    quint64 resultSize = 0;
};

// One entry of the download list: a file as the mirror serves it, at section + "/" + fileName.
struct FileDownloadSpecification {
    QString section;
    QString fileName;
    // MD5 of the file as downloaded, 32 hex digits in either case.
    QString md5;
    // Length of the file as downloaded, exactly; 0 means an empty file, never "unknown".
    quint64 size = 0;
    // Fetched and applied instead of the file, unless it fails.
    FilePatchSpecification patch = {};
};

// One entry of the replace list: a downloaded file (tempDir + "/" + fileName) and where it goes.
struct FileReplaceSpecification {
    QString section;
    QString fileName;
    // Set only for a gzip download: sum, size and installed path of the unpacked file.
    QString unzipMd5;
    quint64 unzipSize = 0;
    QString unzipFileName;
    // For a gzip download: a patch's result (relative to tempDir) that, when present, is copied
    // into place instead of unpacking the download.
    QString patchResult = {};
    // False when the list building found no moved-aside copy of the file to clear away.
    bool oldMayExist = true;

    bool hasUnzip() const;
    // The installed file, relative to the application root.
    QString pureDestFilePath() const;
    // pureDestFilePath() with prefix put before its last component; empty prefix changes nothing.
    QString destFileName(const QString& prefix) const;
    // Where the installed file is moved aside before it is replaced.
    QString oldDestFileName() const;
    // The installed file is one the running updater holds open.
    bool replacesSpecialFile() const;
};

// The three lists of one run.
struct FileSpecifications {
    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    // Paths relative to the application root: obsolete files, then moved-aside copies.
    QList<QString> deleteList;

    void clear();
};
