#include "productini.h"

#include "config/installlayout.h"
#include "install/posixfile.h"

#include <QDir>
#include <QHash>
#include <QSettings>

namespace {

const QString deleteSection = QStringLiteral("delete");

bool hasControlCharacter(const QString& text) {
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control)
            return true;
    return false;
}

bool isMd5(const QString& text) {
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}

// Digits only: no sign, no blanks, nothing that QString::toULongLong would let through.
bool isDecimal(const QString& text, quint64* value) {
    if (text.isEmpty())
        return false;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    bool ok = false;
    *value = text.toULongLong(&ok);
    return ok;
}

// The path as the file system will see it, or empty when it is absolute, climbs out with "..",
// or names the root itself. Cleaning makes "a//b" and "a/./b" the same destination as "a/b".
QString cleanRelativePath(const QString& path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) ||
        path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return {};
    const QString clean = QDir::cleanPath(path);
    return clean == QLatin1String(".") ? QString() : clean;
}

QString fileNameOf(const QString& path) {
    return path.section(QLatin1Char('/'), -1);
}

} // namespace

QString printableName(const QString& text) {
    QString shown = text;
    for (QChar& c : shown)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    return shown;
}

bool ProductIni::isProtectedFromDeletion(const QString& path) {
    const QString clean = QDir::cleanPath(path);
    return InstallLayout::isUpdaterFile(clean) ||
           InstallLayout::isSpecialFileName(fileNameOf(clean));
}

void ProductIni::problem(const QString& section, const QString& key, const QString& reason) {
    problems.append({section, key, reason});
}

ProductIni::ProductIni(QSettings& ini) {
    // Cleaned path -> index in lines of the line that took it first; its name is made only for
    // a problem, as formatting one for every line cost as much as the rest of the parse.
    QHash<QString, qsizetype> installedBy;
    QHash<QString, qsizetype> downloadedBy;
    const auto nameOf = [this](qsizetype i) {
        const FileReplaceSpecification& taken = lines.at(i).replace;
        return printableName(QStringLiteral("[%1] %2").arg(taken.section, taken.fileName));
    };
    struct Deletion {
        QString section, key, path;
    };
    QList<Deletion> deletions;

    const QStringList sections = ini.childGroups();
    // Reserved at the exact size: a growing list would move every line, and keep spare room.
    qsizetype total = 0;
    for (const QString& section : sections) {
        ini.beginGroup(section);
        total += ini.allKeys().size();
        ini.endGroup();
    }
    lines.reserve(total);
    for (const QString& section : sections) {
        ini.beginGroup(section);
        const bool isDelete = section == deleteSection;
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            // A value with a comma comes back from the INI reader as a list.
            const QVariant value = ini.value(key);
            const QString text = value.typeId() == QMetaType::QStringList
                                     ? value.toStringList().join(QLatin1Char(','))
                                     : value.toString();
            if (hasControlCharacter(section) || hasControlCharacter(key) ||
                hasControlCharacter(text)) {
                problem(section, key, QStringLiteral("contains a control character"));
                continue;
            }
            const QString path = cleanRelativePath(key);
            if (path.isEmpty()) {
                problem(section, key, QStringLiteral("leaves the installation directory"));
                continue;
            }
            ProductIniLine line;
            line.isDelete = isDelete;
            if (isDelete) {
                line.replace.fileName = key;
                if (isProtectedFromDeletion(path))
                    problem(section, key, QStringLiteral("deletes a file the updater needs"));
                else if (fileNameOf(path).startsWith(QLatin1String(PosixFile::siblingPrefix)))
                    problem(section, key,
                            QStringLiteral("is named like a temporary file of the updater"));
                else {
                    deletions.append({section, key, path});
                    lines.append(line);
                }
                continue;
            }

            const QStringList fields = text.split(QStringLiteral("::"), Qt::KeepEmptyParts);
            if (fields.size() != 2 && fields.size() != 5) {
                problem(section, key, QStringLiteral("has neither 2 nor 5 fields"));
                continue;
            }
            // An empty fifth field makes a plain line; its third and fourth fields go unused.
            const bool unzip = fields.size() == 5 && !fields.at(4).isEmpty();
            quint64 size = 0;
            quint64 unzipSize = 0;
            QString destination = path;
            QString wrong;
            if (!isMd5(fields.at(0)))
                wrong = QStringLiteral("the MD5 is not 32 hexadecimal digits");
            else if (!isDecimal(fields.at(1), &size))
                wrong = QStringLiteral("the size is not a decimal number");
            else if (unzip && !isMd5(fields.at(2)))
                wrong = QStringLiteral("the unpacked MD5 is not 32 hexadecimal digits");
            else if (unzip && !isDecimal(fields.at(3), &unzipSize))
                wrong = QStringLiteral("the unpacked size is not a decimal number");
            else if (unzip && (destination = cleanRelativePath(fields.at(4))).isEmpty())
                wrong = QStringLiteral("unpacks outside the installation directory");
            else if (fileNameOf(destination).startsWith(QLatin1String(PosixFile::siblingPrefix)))
                wrong = QStringLiteral("is named like a temporary file of the updater");
            if (!wrong.isEmpty()) {
                problem(section, key, wrong);
                continue;
            }

            line.download = {section, key, fields.at(0), size};
            line.replace.section = section;
            line.replace.fileName = key;
            if (fields.size() == 5) {
                line.replace.unzipMd5 = fields.at(2);
                line.replace.unzipSize = unzip ? unzipSize : fields.at(3).toULongLong();
                line.replace.unzipFileName = fields.at(4);
            }
            lines.append(std::move(line));

            // Two lines on one path would overwrite each other's download or installed file,
            // and the MD5 check would then blame an honest mirror.
            const qsizetype index = lines.size() - 1;
            const qsizetype installer = installedBy.value(destination, index);
            const qsizetype downloader = downloadedBy.value(path, index);
            if (installer != index)
                problem(section, key,
                        QStringLiteral("installs the same file as %1").arg(nameOf(installer)));
            else if (downloader != index)
                problem(section, key,
                        QStringLiteral("downloads to the same file as %1").arg(nameOf(downloader)));
            if (installer == index)
                installedBy.insert(destination, index);
            if (downloader == index)
                downloadedBy.insert(path, index);
        }
        ini.endGroup();
    }
    for (const Deletion& deletion : std::as_const(deletions))
        if (const auto it = installedBy.constFind(deletion.path); it != installedBy.cend())
            problem(deletion.section, deletion.key,
                    QStringLiteral("deletes a file that %1 installs").arg(nameOf(*it)));
}

void ProductIni::checkInstallation(const QString& appRoot) {
    for (ProductIniLine& line : lines) {
        const QString& key = line.replace.fileName;
        if (!line.isDelete) {
            const PosixFile::Entry installed =
                PosixFile::entry(appRoot + QLatin1Char('/') + line.replace.pureDestFilePath());
            if (installed.isDir)
                problem(line.replace.section, key, QStringLiteral("installs over a directory"));
            line.installedIsLink = installed.isLink;
            line.installedSize = installed.isRegularFile ? installed.size : -1;
            continue;
        }
        // Each parent is looked at itself: through a linked directory, a deletion would reach
        // files outside the installation.
        const QString clean = QDir::cleanPath(key);
        const QStringList parts = clean.split(QLatin1Char('/'));
        QString path = appRoot;
        bool reachable = true;
        for (qsizetype i = 0; reachable && i + 1 < parts.size(); ++i) {
            path += QLatin1Char('/') + parts.at(i);
            const PosixFile::Entry entry = PosixFile::entry(path);
            if (entry.isLink)
                problem(deleteSection, key,
                        QStringLiteral("goes through the symbolic link %1")
                            .arg(printableName(parts.mid(0, i + 1).join(QLatin1Char('/')))));
            reachable = entry.isDir;
        }
        if (reachable && PosixFile::entry(appRoot + QLatin1Char('/') + clean).isDir)
            problem(deleteSection, key, QStringLiteral("deletes a directory"));
    }
}
