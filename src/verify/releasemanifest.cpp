#include "releasemanifest.h"

#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>

#include <climits>

namespace {
const QString GROUP = QStringLiteral("release");
const QString PATCHES = QStringLiteral("patches");

QString timeText(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODate);
}

// Only the form write() produces: UTC with a "Z", whole seconds.
bool parseTime(const QString& text, QDateTime* out) {
    static const QRegularExpression form(
        QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"));
    if (!form.match(text).hasMatch())
        return false;
    *out = QDateTime::fromString(text, Qt::ISODate);
    return out->isValid();
}
} // namespace

QString DeltaPatchEntry::nameFor(const QString& baseMd5, const QString& resultMd5) {
    return QStringLiteral("patches/%1-%2.zst").arg(baseMd5, resultMd5);
}

QString ReleaseManifest::fileName(const QString& updateType) {
    return updateType + QStringLiteral(".manifest");
}

QString ReleaseManifest::productIniFileName(const QString& updateType) {
    return updateType + QStringLiteral(".ini");
}

bool ReleaseManifest::readPatches(QSettings& ini, QString* error) {
    static const QRegularExpression md5(QStringLiteral("^[0-9a-f]{32}$"));
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
    static const QRegularExpression number(QStringLiteral("^(0|[1-9][0-9]{0,17})$"));
    patches.clear();
    ini.endGroup();
    const int count = ini.beginReadArray(PATCHES);
    for (int i = 0; i < count; ++i) {
        ini.setArrayIndex(i);
        DeltaPatchEntry p;
        p.path = ini.value(QStringLiteral("path")).toString();
        p.baseMd5 = ini.value(QStringLiteral("base")).toString();
        p.name = ini.value(QStringLiteral("name")).toString();
        p.sha256 = ini.value(QStringLiteral("sha256")).toString().toLatin1();
        const QString size = ini.value(QStringLiteral("size")).toString();
        p.resultMd5 = ini.value(QStringLiteral("result")).toString();
        // Only names of our own form: a patch name becomes a path in the temporary directory.
        if (p.path.isEmpty() || !md5.match(p.baseMd5).hasMatch() ||
            !md5.match(p.resultMd5).hasMatch() ||
            p.name != DeltaPatchEntry::nameFor(p.baseMd5, p.resultMd5) ||
            !sha256.match(QString::fromLatin1(p.sha256)).hasMatch() ||
            !number.match(size).hasMatch()) {
            *error = QStringLiteral("bad patch entry %1").arg(i + 1);
            ini.endArray();
            return false;
        }
        p.size = size.toLongLong();
        patches.append(p);
    }
    ini.endArray();
    return true;
}

bool ReleaseManifest::read(const QString& path, QString* error) {
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("unreadable");
        return false;
    }
    ini.beginGroup(GROUP);
    auto text = [&](const char* key) { return ini.value(QLatin1String(key)).toString(); };
    static const QRegularExpression number(QStringLiteral("^(0|[1-9][0-9]{0,17})$"));
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));

    type = text("type");
    versionName = text("name");
    const QString versionText = text("version");
    const QString sizeText = text("iniSize");
    iniSha256 = text("iniSha256").toLatin1();
    const QString expiresText = text("expires");
    if (type.isEmpty())
        *error = QStringLiteral("no build type");
    else if (!number.match(versionText).hasMatch() || versionText.toLongLong() > INT_MAX ||
             versionText.toLongLong() == 0)
        *error = QStringLiteral("bad version '%1'").arg(versionText);
    else if (!sha256.match(QString::fromLatin1(iniSha256)).hasMatch())
        *error = QStringLiteral("bad product ini SHA-256");
    else if (!number.match(sizeText).hasMatch())
        *error = QStringLiteral("bad product ini size '%1'").arg(sizeText);
    else if (!parseTime(text("published"), &published))
        *error = QStringLiteral("bad publication time");
    else if (!expiresText.isEmpty() && !parseTime(expiresText, &expires))
        *error = QStringLiteral("bad expiry time '%1'").arg(expiresText);
    else if (!readPatches(ini, error))
        ;
    else {
        if (expiresText.isEmpty())
            expires = QDateTime();
        version = versionText.toInt();
        iniSize = sizeText.toLongLong();
        return true;
    }
    return false;
}

bool ReleaseManifest::write(const QString& path) const {
    if (QFile::exists(path))
        return false;
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup(GROUP);
    ini.setValue(QStringLiteral("type"), type);
    ini.setValue(QStringLiteral("version"), QString::number(version));
    ini.setValue(QStringLiteral("name"), versionName);
    ini.setValue(QStringLiteral("iniSha256"), QString::fromLatin1(iniSha256));
    ini.setValue(QStringLiteral("iniSize"), QString::number(iniSize));
    ini.setValue(QStringLiteral("published"), timeText(published));
    if (expires.isValid())
        ini.setValue(QStringLiteral("expires"), timeText(expires));
    ini.endGroup();
    if (!patches.isEmpty()) {
        ini.beginWriteArray(PATCHES, int(patches.size()));
        for (int i = 0; i < patches.size(); ++i) {
            const DeltaPatchEntry& p = patches.at(i);
            ini.setArrayIndex(i);
            ini.setValue(QStringLiteral("path"), p.path);
            ini.setValue(QStringLiteral("base"), p.baseMd5);
            ini.setValue(QStringLiteral("name"), p.name);
            ini.setValue(QStringLiteral("sha256"), QString::fromLatin1(p.sha256));
            ini.setValue(QStringLiteral("size"), QString::number(p.size));
            ini.setValue(QStringLiteral("result"), p.resultMd5);
        }
        ini.endArray();
    }
    ini.sync();
    return ini.status() == QSettings::NoError;
}

bool sha256OfFile(const QString& path, QByteArray* hexDigest, qint64* size) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return false;
    *hexDigest = hash.result().toHex();
    *size = file.size();
    return true;
}

bool verifyManifestSignature(Rsa_key* key, const QByteArray& data, QByteArray sig) {
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    try {
        return verify_sha256(key, reinterpret_cast<const unsigned char*>(digest.constData()),
                             reinterpret_cast<unsigned char*>(sig.data()),
                             static_cast<unsigned long>(sig.size()));
    } catch (const crypt_exception&) {
        return false;
    }
}
