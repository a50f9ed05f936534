#pragma once

#include "download/mirroraccessmanager.h"
#include "download/mirrors.h"
#include "install/filespecifications.h"
#include "support/faulthttpserver.h"

#include <QList>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Caps the size of every file this process writes (RLIMIT_FSIZE, SIGXFSZ ignored), so that a
// test pointing an endless body at the disk fails its writes instead of filling the machine.
bool capFileSize(qint64 bytes);

// Writes a "mirrors.ini" naming one mirror per base address ("mirror1", "mirror2", ...).
bool writeMirrorsIni(const QString& path, const QStringList& baseUrls);

// The download list of a product ini, read independently of the updater's own list building:
// every file line of every section except "delete", in file order, as downloaded. Lines that are
// not 2 or 5 fields are skipped with a warning.
QList<FileDownloadSpecification> downloadListFromIni(const QString& productIni);

// Fills dir with `count` files of about totalBytes in all, in a few subdirectories, with sizes
// spread from a few bytes to several times the average and contents that do not compress, from
// a fixed seed. Returns false when a file cannot be written.
bool writeSyntheticBuild(const QString& dir, int count, qint64 totalBytes, quint32 seed = 1);

// A test server whose directories <mirror>/7/ act as the mirrors of one pool, and a local
// directory for what is downloaded.
struct MirrorRig {
    MirrorRig();
    // Adds a mirror served from its directory (or from url) that may fail twice.
    void addMirror(const QString& name, const QString& url = {});
    // Where the server finds a mirror's file.
    QString remote(const QString& mirror, const QString& file) const;
    // The path a request for a mirror's file asks for, as the server counts it.
    static QString path(const QString& mirror, const QString& file);
    QString local(const QString& file) const { return localDir.filePath(file); }
    const FTPSiteAccessData* mirror(const QString& name) const;

    QTemporaryDir serverDir;
    QTemporaryDir localDir;
    FaultHttpServer server;
    MirrorAccessManager manager;
    Mirrors pool;
};
