#include "mirrors.h"
#include "processrandom.h"

#include <QSettings>

#include <algorithm>

namespace {

QString baseUrl(QString url, int version) {
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + QString::number(version);
}

} // namespace

Mirrors::Mirrors(QObject* parent)
    : QObject(parent) {}

bool Mirrors::initDefault(const QString& iniFile, int version) {
    QSettings settings(iniFile, QSettings::IniFormat);
    const QStringList names = readMirrorNames(settings);
    for (const QString& name : names) {
        FTPSiteAccessData mirror;
        mirror.name = name;
        mirrors.append(mirror);
    }
    setDefaults(settings, version);
    return true;
}

QStringList Mirrors::readMirrorNames(QSettings& settings) {
    settings.beginGroup(QStringLiteral("mirrors"));
    const qint64 size = settings.value(QStringLiteral("size")).toLongLong();
    // Element n is stored as the group "n" (1-based) within "mirrors".
    QList<qint64> indices;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        bool isNumber = false;
        const qint64 n = group.toLongLong(&isNumber);
        if (isNumber && n >= 1 && n <= size && group == QString::number(n))
            indices.append(n);
    }
    std::sort(indices.begin(), indices.end());
    QStringList names;
    for (const qint64 n : std::as_const(indices)) {
        const QString name =
            settings.value(QString::number(n) + QStringLiteral("/mirror")).toString().trimmed();
        if (!name.isEmpty())
            names.append(name);
    }
    settings.endGroup();
    return names;
}

void Mirrors::setDefaults(QSettings& settings, int version) {
    for (FTPSiteAccessData& mirror : mirrors) {
        settings.beginGroup(mirror.name);
        mirror.url = baseUrl(settings.value(QStringLiteral("url")).toString(), version);
        mirror.retries = static_cast<int>(settings.value(QStringLiteral("retries"), 2).toUInt());
        if (mirror.retries < 1)
            mirror.retries = 2;
        settings.endGroup();
    }
}

bool Mirrors::initAlpha(const QString& iniFile, int version) {
    QSettings settings(iniFile, QSettings::IniFormat);
    const QString alpha = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (alpha.isEmpty()) {
        emit fatalError(tr("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("Alpha Channel");
    mirror.url = baseUrl(alpha, version);
    mirror.retries = 4;
    mirrors.append(mirror);
    return true;
}

int Mirrors::getRandomMirror(FTPSiteAccessData& out) {
    if (mirrors.isEmpty()) {
        if (!noMirrorsReported) {
            emit message(tr("There are no (more) known working mirrors available"));
            noMirrorsReported = true;
        }
        return 1;
    }
    int total = 0;
    int used = 0;
    calcUseStats(total, used);
    if (used >= total)
        return 2;
    // Uniform over the free slots: a mirror with two free slots is twice as likely.
    int r = static_cast<int>(processRandom().bounded(static_cast<quint32>(total - used)));
    for (FTPSiteAccessData& mirror : mirrors) {
        r -= mirror.maxUses - mirror.useCount;
        if (r < 0) {
            ++mirror.useCount;
            out = mirror;
            return 0;
        }
    }
    return 1;
}

void Mirrors::releaseMirror(const QString& name) {
    const int i = getMirrorIndex(name);
    if (i < 0)
        return;
    --mirrors[i].useCount;
    emit slotsChanged();
}

void Mirrors::addMirrorError(const QString& name) {
    const int i = getMirrorIndex(name);
    if (i < 0)
        return;
    if (++mirrors[i].errorCount > mirrors[i].retries) {
        emit message(tr("Mirror %1 failed too many times, removing").arg(name));
        mirrors.remove(i);
        emit slotsChanged();
    }
}

void Mirrors::removeMirror(const QString& name) {
    const int i = getMirrorIndex(name);
    if (i < 0)
        return;
    mirrors.remove(i);
    emit slotsChanged();
}

int Mirrors::getMirrorIndex(const QString& name) const {
    for (int i = 0; i < mirrors.size(); ++i) {
        if (mirrors[i].name == name)
            return i;
    }
    return -1;
}

void Mirrors::calcUseStats(int& maxUses, int& useCount) const {
    maxUses = 0;
    useCount = 0;
    for (const FTPSiteAccessData& mirror : mirrors) {
        maxUses += mirror.maxUses;
        useCount += mirror.useCount;
    }
}
