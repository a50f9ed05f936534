#include "publishutil.h"

#include "verify/tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t interruptSignal = 0;

void onInterrupt(int signal) {
    interruptSignal = signal;
}
} // namespace

void installInterruptHandlers() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

void checkInterrupted() {
    if (interruptSignal != 0)
        throw PublishError(QStringLiteral("interrupted by signal %1; nothing was written")
                               .arg(static_cast<int>(interruptSignal)));
}

std::unique_ptr<RsaKey> loadKeyFile(const QString& path, bool needPrivate) {
    QFile file(path);
    const QFileInfo info(path);
    if (!info.exists())
        throw PublishError(QStringLiteral("key file %1 does not exist").arg(path));
    if (!info.isFile())
        throw PublishError(QStringLiteral("key file %1 is not a regular file").arg(path));
    if (!file.open(QIODevice::ReadOnly))
        throw PublishError(
            QStringLiteral("cannot read key file %1: %2").arg(path, file.errorString()));
    const QByteArray data = file.read(KEY_FILE_SIZE + 1);
    if (data.size() != static_cast<qsizetype>(KEY_FILE_SIZE))
        throw PublishError(QStringLiteral("key file %1 has %2 bytes; a key file has exactly %3 "
                                          "(made by quillon-publish keygen)")
                               .arg(path)
                               .arg(info.size())
                               .arg(KEY_FILE_SIZE));
    auto key = std::make_unique<RsaKey>();
    try {
        load_key(key->get(), reinterpret_cast<const unsigned char*>(data.constData()),
                 KEY_FILE_SIZE);
    } catch (const crypt_exception& e) {
        throw PublishError(QStringLiteral("%1 is not a key file (%2)").arg(path, e.what()));
    }
    if (needPrivate && !key->isPrivate())
        throw PublishError(QStringLiteral("key file %1 holds a public key; signing needs the "
                                          "private key file")
                               .arg(path));
    return key;
}

std::unique_ptr<RsaKey> loadCompiledInKey() {
    auto key = std::make_unique<RsaKey>();
    try {
        load_key(key->get(), PUBLIC_KEY, KEY_FILE_SIZE);
    } catch (const crypt_exception& e) {
        throw PublishError(QStringLiteral("the compiled-in public key is unusable (%1)")
                               .arg(QString::fromUtf8(e.what())));
    }
    return key;
}

QByteArray publicKeyFile(const RsaKey& key) {
    QByteArray out(KEY_FILE_SIZE, '\0');
    export_key(key.get(), KEY_PUBLIC, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

QByteArray sha1OfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PublishError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray buffer(qsizetype(64) * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            throw PublishError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        if (got == 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), got));
    }
    return hash.result();
}

bool entryExists(const QString& path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool renameNoReplace(const QString& from, const QString& to, QString* error) {
    const QByteArray src = QFile::encodeName(from);
    const QByteArray dst = QFile::encodeName(to);
    int rc = ::renameat2(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the flag: check, then rename (the gap is ours alone in practice).
        if (entryExists(to)) {
            errno = EEXIST;
        } else {
            rc = ::rename(src.constData(), dst.constData());
        }
    }
    if (rc != 0 && error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return rc == 0;
}

void writeFileAtomically(const QString& path, const QByteArray& data,
                         QFileDevice::Permissions perms, bool overwrite) {
    if (!overwrite && entryExists(path))
        throw PublishError(
            QStringLiteral("%1 exists; refusing to overwrite it (use --force to replace it)")
                .arg(path));
    QTemporaryFile tmp(path + QStringLiteral(".XXXXXX"));
    // Created 0600, so a private key is never readable by others, not even for a moment.
    if (!tmp.open())
        throw PublishError(QStringLiteral("cannot write %1: %2").arg(path, tmp.errorString()));
    if (tmp.write(data) != data.size() || !tmp.flush() || ::fsync(tmp.handle()) != 0)
        throw PublishError(QStringLiteral("cannot write %1: %2").arg(path, tmp.errorString()));
    if (!tmp.setPermissions(perms))
        throw PublishError(QStringLiteral("cannot set the permissions of %1").arg(path));
    tmp.close();
    QString error;
    const bool renamed = overwrite ? std::rename(QFile::encodeName(tmp.fileName()).constData(),
                                                 QFile::encodeName(path).constData()) == 0
                                   : renameNoReplace(tmp.fileName(), path, &error);
    if (!renamed) {
        if (error.isEmpty())
            error = QString::fromLocal8Bit(std::strerror(errno));
        throw PublishError(QStringLiteral("cannot write %1: %2").arg(path, error));
    }
    tmp.setAutoRemove(false);
}

bool verifyFileSignature(const QString& path, const RsaKey& key, QString* reason) {
    if (!QFileInfo(path).isFile())
        throw PublishError(QStringLiteral("%1 is not a readable file").arg(path));
    const QString sigPath = path + QStringLiteral(".sig");
    QFile sigFile(sigPath);
    if (!QFileInfo(sigPath).isFile() || !sigFile.open(QIODevice::ReadOnly))
        throw PublishError(QStringLiteral("cannot read the signature file %1").arg(sigPath));
    if (sigFile.size() > static_cast<qint64>(KEY_FILE_SIZE)) {
        *reason = QStringLiteral("the signature file is %1 bytes, longer than any signature")
                      .arg(sigFile.size());
        return false;
    }
    QByteArray sig = sigFile.readAll();
    const QByteArray digest = sha1OfFile(path);
    try {
        if (verify_hash(key.get(), reinterpret_cast<const unsigned char*>(digest.constData()),
                        reinterpret_cast<unsigned char*>(sig.data()),
                        static_cast<unsigned long>(sig.size())))
            return true;
        *reason = QStringLiteral("the signature does not match the file and the key");
    } catch (const crypt_exception& e) {
        *reason = QStringLiteral("malformed signature (%1)").arg(QString::fromUtf8(e.what()));
    }
    return false;
}

bool leavesRoot(const QString& path) {
    return path.startsWith(QLatin1Char('/')) ||
           path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}
