#include "mirrors.h"
#include "processrandom.h"

#include "config/settings.h"

namespace {

QString baseUrl(QString url, int version) {
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + QString::number(version);
}

} // namespace

Mirrors::Mirrors(QObject* parent)
    : QObject(parent) {}

bool Mirrors::initDefault(const QList<MirrorSetting>& list, int version) {
    for (const MirrorSetting& setting : list) {
        FTPSiteAccessData mirror;
        mirror.name = setting.name;
        mirror.url = baseUrl(setting.url, version);
        mirror.retries = setting.retries;
        mirrors.append(mirror);
    }
    return true;
}

bool Mirrors::initAlpha(const QString& alphaUrl, int version) {
    if (alphaUrl.isEmpty()) {
        emit fatalError(tr("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("Alpha Channel");
    mirror.url = baseUrl(alphaUrl, version);
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

int Mirrors::takeMirror(const QString& name, FTPSiteAccessData& out) {
    const int i = getMirrorIndex(name);
    if (i < 0)
        return 1;
    if (mirrors[i].useCount >= mirrors[i].maxUses)
        return 2;
    ++mirrors[i].useCount;
    out = mirrors[i];
    return 0;
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
