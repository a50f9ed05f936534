#include "releasemanifest.h"

#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>

#include <climits>

namespace {
const QString GROUP = QStringLiteral("release");

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

QString ReleaseManifest::fileName(const QString& updateType) {
    return updateType + QStringLiteral(".manifest");
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
