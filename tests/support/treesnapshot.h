#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Everything a test can compare about a directory tree: each entry's relative path mapped to its
// kind, permission bits and (for files) MD5 of the contents. Two equal snapshots mean nothing in
// the tree was added, lost, changed or re-moded.
using TreeSnapshot = QMap<QString, QString>;

TreeSnapshot snapshotTree(const QString& root);

// Readable difference for QCOMPARE failures: lines "- path: ..." and "+ path: ...".
QString describeDifference(const TreeSnapshot& expected, const TreeSnapshot& actual);
