#include "downloadfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>

#include <csignal>
#include <sys/resource.h>

bool capFileSize(qint64 bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{rlim_t(bytes), rlim_t(bytes)};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool writeMirrorsIni(const QString& path, const QStringList& baseUrls) {
    QFile::remove(path);
    QSettings ini(path, QSettings::IniFormat);
    ini.beginWriteArray(QStringLiteral("mirrors"), int(baseUrls.size()));
    for (int i = 0; i < baseUrls.size(); ++i) {
        ini.setArrayIndex(i);
        ini.setValue(QStringLiteral("mirror"), QStringLiteral("mirror%1").arg(i + 1));
    }
    ini.endArray();
    for (int i = 0; i < baseUrls.size(); ++i)
        ini.setValue(QStringLiteral("mirror%1/url").arg(i + 1), baseUrls.at(i));
    ini.sync();
    return ini.status() == QSettings::NoError;
}

QList<FileDownloadSpecification> downloadListFromIni(const QString& productIni) {
    QList<FileDownloadSpecification> list;
    QSettings ini(productIni, QSettings::IniFormat);
    const QStringList groups = ini.childGroups();
    for (const QString& section : groups) {
        if (section == QLatin1String("delete"))
            continue;
        ini.beginGroup(section);
        // allKeys(): a key with "/" is a path, which QSettings would otherwise see as subgroups.
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            const QStringList fields = ini.value(key).toString().split(QStringLiteral("::"));
            if (fields.size() != 2 && fields.size() != 5) {
                qWarning("downloadListFromIni: skipping %s", qPrintable(key));
                continue;
            }
            list.append({section, key, fields.at(0), fields.at(1).toULongLong()});
        }
        ini.endGroup();
    }
    return list;
}

bool writeSyntheticBuild(const QString& dir, int count, qint64 totalBytes, quint32 seed) {
    QRandomGenerator random(seed);
    // Weights from a skewed spread: most files small, a few large, as in a real client build.
    QList<double> weights;
    double sum = 0;
    for (int i = 0; i < count; ++i) {
        const double u = random.generateDouble();
        const double w = u * u * u * u + 0.002;
        weights.append(w);
        sum += w;
    }
    const QStringList subdirs{QString(), QStringLiteral("lib"), QStringLiteral("lib/plugins"),
                              QStringLiteral("data/maps"), QStringLiteral("translations")};
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
        const qint64 size = qint64(double(totalBytes) * weights.at(i) / sum);
        const QString sub = subdirs.at(i % subdirs.size());
        const QString path =
            QDir(dir).filePath((sub.isEmpty() ? QString() : sub + QLatin1Char('/')) +
                               QStringLiteral("file%1.bin").arg(i, 4, 10, QLatin1Char('0')));
        if (!QDir().mkpath(QFileInfo(path).path()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        for (qint64 left = size; left > 0;) {
            const qint64 n = std::min<qint64>(left, block.size());
            random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            if (file.write(block.constData(), n) != n)
                return false;
            left -= n;
        }
    }
    return true;
}

MirrorRig::MirrorRig() {
    server.setRoot(serverDir.path());
    server.listen();
}

void MirrorRig::addMirror(const QString& name, const QString& url) {
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url =
        url.isEmpty() ? server.baseUrl() + QLatin1Char('/') + name + QStringLiteral("/7") : url;
    mirror.retries = 2;
    pool.mirrors.append(mirror);
}

QString MirrorRig::remote(const QString& mirror, const QString& file) const {
    return serverDir.filePath(mirror + QStringLiteral("/7/") + file);
}

QString MirrorRig::path(const QString& mirror, const QString& file) {
    return QLatin1Char('/') + mirror + QStringLiteral("/7/") + file;
}

const FTPSiteAccessData* MirrorRig::mirror(const QString& name) const {
    const int i = pool.getMirrorIndex(name);
    return i < 0 ? nullptr : &pool.mirrors[i];
}
