#pragma once

#include "install/filespecifications.h"

#include <QList>
#include <QString>

class QSettings;

// One key of a product ini that is well formed, in the order the ini reader lists them.
struct ProductIniLine {
    bool isDelete = false;
    // What checkInstallation() found at the destination: the size of a regular file, else -1;
    // and whether it is a symbolic link, which counts as the file it points to.
    bool installedIsLink = false;
    qint64 installedSize = -1;
    // For a "delete" key only replace.fileName (the key) is set.
    FileDownloadSpecification download;
    FileReplaceSpecification replace;
};

// A key that breaks a rule; reason says what is wrong, for people.
struct ProductIniProblem {
    QString section;
    QString key;
    QString reason;
};

// The rules a product ini must keep, for the updater and the publisher alike. A valid signature
// says who wrote the ini, not that it is sound, so every one of them is checked before anything
// is hashed, downloaded or touched.
class ProductIni final {
public:
    // Reads every section and key and checks what does not depend on an installation: field
    // counts, MD5s, sizes, paths, names, control characters, destinations used twice and paths
    // both installed and deleted.
    explicit ProductIni(QSettings& ini);

    // Adds what depends on the installation at appRoot: a destination or "delete" key that is a
    // directory, and "delete" keys whose parent path goes through a symbolic link. Records what
    // is installed at each destination in its line.
    void checkInstallation(const QString& appRoot);

    // Names that a "delete" key must never name: the updater's own files, the files it holds
    // open and the client's start script.
    static bool isProtectedFromDeletion(const QString& path);

    // The well-formed lines; a line with a problem of its own form is left out.
    QList<ProductIniLine> lines;
    // Every problem, in the order of the lines.
    QList<ProductIniProblem> problems;

private:
    void problem(const QString& section, const QString& key, const QString& reason);
};

// Text with control characters shown as '?', so that a name cannot break a line of output.
QString printableName(const QString& text);
