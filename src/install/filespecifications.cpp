#include "filespecifications.h"

#include "config/installlayout.h"

#include <QFileInfo>

bool FileReplaceSpecification::hasUnzip() const {
    return !unzipFileName.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const {
    return hasUnzip() ? unzipFileName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString& prefix) const {
    QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString name = prefix + info.fileName();
    const QString dir = info.path();
    return dir == QLatin1String(".") ? name : dir + QLatin1Char('/') + name;
}

QString FileReplaceSpecification::oldDestFileName() const {
    return destFileName(InstallLayout::getSpecialFileRenamePrefix());
}

void FileSpecifications::clear() {
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
}
