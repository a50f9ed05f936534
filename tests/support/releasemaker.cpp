#include "releasemaker.h"

#include "testpaths.h"
#include "verify/releasemanifest.h"
#include "verify/tomcryptutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

QString devPrivateKeyPath() {
    return sourcePath(QStringLiteral("keys/dev-private.key"));
}

QString devPublicKeyPath() {
    return sourcePath(QStringLiteral("keys/dev-public.key"));
}

namespace {
bool signWith(const QString& path, bool sha256) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("signWithDevKey: cannot read %s", qPrintable(path));
        return false;
    }
    const QByteArray data = file.readAll();
    try {
        crypt_init();
        RsaKey key;
        load_key(key.get(), QFile::encodeName(devPrivateKeyPath()).constData());
        unsigned char sig[512];
        unsigned long len = sizeof sig;
        const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
        if (sha256)
            sign_sha256(key.get(), reinterpret_cast<const unsigned char*>(digest.constData()), sig,
                        &len);
        else
            sign_msg(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                     static_cast<unsigned long>(data.size()), sig, &len);
        write_file(QFile::encodeName(path + QStringLiteral(".sig")).constData(), sig, len);
    } catch (const crypt_exception& e) {
        qWarning("signWithDevKey: %s", e.what());
        return false;
    }
    return true;
}
} // namespace

bool signWithDevKey(const QString& path) {
    return signWith(path, false);
}

bool signManifestWithDevKey(const QString& path) {
    return signWith(path, true);
}

bool resignProductIni(const QString& productIni) {
    if (!signWithDevKey(productIni))
        return false;
    const QFileInfo ini(productIni);
    const QString manifestPath =
        ini.dir().filePath(ReleaseManifest::fileName(ini.completeBaseName()));
    if (!QFileInfo::exists(manifestPath))
        return true;
    ReleaseManifest manifest;
    QString error;
    if (!manifest.read(manifestPath, &error) ||
        !sha256OfFile(productIni, &manifest.iniSha256, &manifest.iniSize) ||
        !QFile::remove(manifestPath) || !manifest.write(manifestPath)) {
        qWarning("resignProductIni: cannot rewrite %s %s", qPrintable(manifestPath),
                 qPrintable(error));
        return false;
    }
    return signManifestWithDevKey(manifestPath);
}

PublishResult runPublish(const QStringList& arguments) {
    PublishResult result;
    QProcess process;
    process.start(binPath(QStringLiteral("quillon-publish")), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        result.stdErr =
            QStringLiteral("quillon-publish did not finish: %1").arg(process.errorString());
        return result;
    }
    result.exitCode = process.exitCode();
    result.ok = result.exitCode == 0;
    result.stdOut = QString::fromUtf8(process.readAllStandardOutput());
    result.stdErr = QString::fromUtf8(process.readAllStandardError());
    return result;
}

PublishResult makeRelease(const QString& buildDir, int version, const QString& mirrorRoot,
                          const PublishOptions& options) {
    QStringList arguments{QStringLiteral("release"),
                          QStringLiteral("--build"),
                          buildDir,
                          QStringLiteral("--version"),
                          QString::number(version),
                          QStringLiteral("--mirror"),
                          mirrorRoot,
                          QStringLiteral("--key"),
                          options.privateKey.isEmpty() ? devPrivateKeyPath() : options.privateKey};
    auto add = [&](const char* option, const QString& value) {
        if (!value.isEmpty())
            arguments << QString::fromLatin1(option) << value;
    };
    add("--update-type", options.updateType);
    add("--section", options.section);
    if (options.gzipMinSize >= 0)
        add("--gzip-min-size", QString::number(options.gzipMinSize));
    add("--previous", options.previous);
    add("--changelog", options.changelog);
    for (const QString& base : options.deltaFrom)
        add("--delta-from", base);

    PublishResult result = runPublish(arguments);
    result.releaseDir = QDir(mirrorRoot).absoluteFilePath(QString::number(version));
    result.productIni =
        result.releaseDir + QLatin1Char('/') +
        (options.updateType.isEmpty() ? QStringLiteral("client_linux_amd64") : options.updateType) +
        QStringLiteral(".ini");
    if (!result.ok)
        qWarning("quillon-publish release failed (%d): %s", result.exitCode,
                 qPrintable(result.stdErr));
    return result;
}
