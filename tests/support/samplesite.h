#pragma once

#include "support/treesnapshot.h"

class FaultHttpServer;

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// A small client of two versions for whole-update tests: build 120 as installed, build 130 as
// published. 130 replaces files, adds some in new sub-directories, carries a large text that the
// release gzips, drops share/legacy.txt and has a start script that appends a line to
// "client-started.log" in the directory above the installation.
namespace SampleSite {

constexpr int OldVersion = 120;
constexpr int NewVersion = 130;
// The incompressible library that 130 replaces; tests slow its download down.
inline const QString LargeFile = QStringLiteral("lib/libquillon.so.1");

QMap<QString, QByteArray> files(int version);

struct Site {
    QString build120;
    QString build130;
    // Root of the mirror tree: 120/ and 130/ below it.
    QString mirrorRoot;
};

// Writes both builds under workDir and publishes both releases with quillon-publish (130 with
// 120 as previous release and a change log). False with a warning on failure.
bool make(const QString& workDir, Site* site);

// Lays out an installation of 120 in installDir: the build, the updater from build/bin with its
// translations, "update.ini" with the given settings lines and "mirrors.ini" naming baseUrls.
bool install(const Site& site, const QString& installDir, const QStringList& mirrorBaseUrls,
             const QMap<QString, QString>& updateIniValues = {});

// Has a mirror serving mirrorRoot send the large library of 130 slowly, `bytes` every 100 ms;
// returns the path its requests ask for.
QString dripLargeFile(FaultHttpServer& mirror, int bytes);

// What an installation or a build holds of the client, without the modes that replacement sets:
// everything but the updater, its translations and its two ini files.
TreeSnapshot clientFiles(const QString& root);

// The start script's log beside the installation.
QString clientLogPath(const QString& installDir);

} // namespace SampleSite
