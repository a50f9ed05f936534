#include "checksignaturetaskspecification.h"

#include "md5sum.h"
#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>

#include <mutex>

namespace {
// Large enough to keep the hash busy, small enough that memory stays flat for any file size.
constexpr qint64 READ_CHUNK = qint64(64) * 1024;

// The engine registers the algorithms before each run; a check started without an engine (tests,
// tools) must not reach LibTomCrypt unprepared, which aborts instead of failing.
void ensureCryptInitialized() {
    static std::once_flag once;
    std::call_once(once, crypt_init);
}
} // namespace

CheckSigFunc::CheckSigFunc(const QString& fileName, const QString& md5)
    : fileName(fileName)
    , md5(md5) {}

bool CheckSigFunc::run(ASyncReport& report) const {
    if (!md5.isEmpty())
        return checkMD5(report);
    return checkRSA(report);
}

bool CheckSigFunc::readFile(const QString& name, QByteArray& data, ASyncReport& report) {
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        report.message(QStringLiteral("Could not open file %1 for reading").arg(name));
        return false;
    }
    const qint64 size = file.size();
    data.resize(size);
    if (file.read(data.data(), size) != size) {
        report.message(QStringLiteral("could not read file %1 correctly").arg(name));
        return false;
    }
    return true;
}

bool CheckSigFunc::hashFile(const QString& name,
                            const std::function<void(const char*, qint64)>& consume,
                            ASyncReport& report) {
    QFile file(name);
    // Unbuffered: the chunks go straight from the kernel into our buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        report.message(QStringLiteral("Could not open file %1 for reading").arg(name));
        return false;
    }
    // Exactly the size seen at opening is hashed, as a whole-file read would.
    qint64 remaining = file.size();
    QByteArray buffer(qMin(remaining, READ_CHUNK), Qt::Uninitialized);
    while (remaining > 0) {
        const qint64 got = file.read(buffer.data(), qMin(remaining, READ_CHUNK));
        if (got <= 0) {
            report.message(QStringLiteral("could not read file %1 correctly").arg(name));
            return false;
        }
        consume(buffer.constData(), got);
        remaining -= got;
    }
    return true;
}

QString CheckSigFunc::md5Of(const QString& name, ASyncReport& report) {
    Md5Sum sum;
    const bool read = hashFile(
        name, [&](const char* data, qint64 len) { sum.add(data, std::size_t(len)); }, report);
    return read ? sum.hexResult() : QString();
}

bool CheckSigFunc::checkMD5(ASyncReport& report) const {
    const QString sum = computedMd5.isEmpty() ? md5Of(fileName, report) : computedMd5;
    return !sum.isEmpty() && sum.compare(md5, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA(ASyncReport& report) const {
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hashFile(
            fileName,
            [&](const char* data, qint64 len) { hash.addData(QByteArrayView(data, len)); }, report))
        return false;

    const QString sigName = fileName + QStringLiteral(".sig");
    QByteArray sig;
    {
        QFile sigFile(sigName);
        // A signature is exactly as long as the key's modulus; anything else cannot verify, so it
        // is not read.
        if (sigFile.open(QIODevice::ReadOnly) &&
            sigFile.size() != static_cast<qint64>(compiled_in_signature_size()))
            return false;
    }
    if (!readFile(sigName, sig, report))
        return false;

    // Crypto failures are a failed check like any other; the task reports it.
    try {
        ensureCryptInitialized();
        RsaKey key;
        load_key(key.get(), PUBLIC_KEY, KEY_FILE_SIZE);
        const QByteArray digest = hash.result();
        return verify_hash(key.get(), reinterpret_cast<const unsigned char*>(digest.constData()),
                           reinterpret_cast<unsigned char*>(sig.data()),
                           static_cast<unsigned long>(sig.size()));
    } catch (const crypt_exception&) {
        return false;
    }
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString fileName, QString md5,
                                                                 bool cancelOnFailure,
                                                                 QObject* parent, double weight,
                                                                 QString shownName)
    : ASyncTaskSpecification(parent, weight)
    , fileName(std::move(fileName))
    , shownName(std::move(shownName))
    , md5(std::move(md5))
    , cancelOnFailure(cancelOnFailure) {}

ASyncTaskSpecification::Work CheckSignatureTaskSpecification::createWork() {
    ++runNumber;
    CheckSigFunc check(fileName, md5);
    check.computedMd5 = computedMd5;
    return
        [check = std::move(check)](ASyncReport& report) { return ASyncResult(check.run(report)); };
}

void CheckSignatureTaskSpecification::runDone(bool pass, std::any&) {
    if (state() != Running)
        return;
    if (!pass)
        emit message(QStringLiteral("Signature check failed for %1")
                         .arg(shownName.isEmpty() ? fileName : shownName));
    const quint64 thisRun = runNumber;
    emit checkDone(pass, this);
    // The owner may have reset (or even restarted) this task from its checkDone slot; then this
    // run is over, and ending the task now would end a run that is not this one.
    if (state() != Running || runNumber != thisRun)
        return;
    if (pass || !cancelOnFailure)
        finish();
    else
        errorCancel();
}
