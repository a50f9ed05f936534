#include "filespecifications.h"

#include "config/installlayout.h"

#include <algorithm>

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
    // Split as QFileInfo splits it, without the cost of one, and made at its exact size: the
    // delete list keeps such a name for every replaced file.
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QStringView name = QStringView(path).mid(slash + 1);
    const bool hasDir = slash >= 0 && QStringView(path).left(slash) != QLatin1String(".");
    const QStringView dir = QStringView(path).left(hasDir ? std::max<qsizetype>(slash, 1) : 0);
    QString result;
    result.reserve(dir.size() + 1 + prefix.size() + name.size());
    if (hasDir) {
        result.append(dir);
        result.append(QLatin1Char('/'));
    }
    result.append(prefix);
    result.append(name);
    return result;
}

QString FileReplaceSpecification::oldDestFileName() const {
    return destFileName(InstallLayout::getSpecialFileRenamePrefix());
}

bool FileReplaceSpecification::replacesSpecialFile() const {
    const QString path = pureDestFilePath();
    return InstallLayout::isSpecialFileName(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
}

void FileSpecifications::clear() {
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
}
