#include "support/files.h"
#include "support/releasemaker.h"
#include "support/testpaths.h"
#include "verify/releasemanifest.h"
#include "verify/tomcryptutil.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// The signature and key formats against an independent implementation: OpenSSL's command line.
class TstOpenSslInterop : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString openssl;

    QString path(const QString& name) const { return dir.filePath(name); }

    // Runs openssl; returns its exit code, -1 if it did not run.
    int run(const QStringList& arguments, QByteArray* output = nullptr) const {
        QProcess process;
        process.start(openssl, arguments);
        if (!process.waitForFinished(30000))
            return -1;
        if (output)
            *output = process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // The key file holds the DER export followed by zero filler; OpenSSL wants the DER alone.
    static QByteArray derOf(const QByteArray& keyFile) {
        const auto* b = reinterpret_cast<const unsigned char*>(keyFile.constData());
        if (b[0] != 0x30)
            return {};
        if (b[1] < 0x80)
            return keyFile.left(2 + b[1]);
        if (b[1] == 0x81)
            return keyFile.left(3 + b[2]);
        return keyFile.left(4 + (b[2] << 8 | b[3]));
    }

    // The product ini's scheme (SHA-1, salt 8) or the release manifest's (SHA-256, salt 32).
    static QStringList pssOptions(const QString& hash) {
        return {"-" + hash, "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                hash == u"sha1" ? "rsa_pss_saltlen:8" : "rsa_pss_saltlen:32"};
    }

    bool verifyWithTomCrypt(const QString& file, const QString& hash) const {
        QByteArray message = readAll(file);
        QByteArray sig = readAll(file + QStringLiteral(".sig"));
        try {
            RsaKey key;
            load_key(key.get(), QFile::encodeName(devPublicKeyPath()).constData());
            if (hash == u"sha256")
                return verifyManifestSignature(key.get(), message, sig);
            return verify_msg(
                key.get(), reinterpret_cast<const unsigned char*>(message.constData()),
                message.size(), reinterpret_cast<unsigned char*>(sig.data()), sig.size());
        } catch (const crypt_exception&) {
            return false;
        }
    }

    bool verifyWithOpenSsl(const QString& file, const QString& hash) const {
        return run(QStringList{"dgst"} + pssOptions(hash) +
                   QStringList{"-verify", path("pub.pem"), "-signature",
                               file + QStringLiteral(".sig"), file}) == 0;
    }

private slots:
    void initTestCase() {
        crypt_init();
        openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
        if (openssl.isEmpty())
            QFAIL("openssl is not installed (scripts/setup installs it)");
        QVERIFY(writeFile(path("priv.der"), derOf(readAll(devPrivateKeyPath()))));
        QVERIFY(writeFile(path("pub.der"), derOf(readAll(devPublicKeyPath()))));
        QCOMPARE(run({"rsa", "-inform", "DER", "-in", path("priv.der"), "-out", path("priv.pem")}),
                 0);
        QCOMPARE(run({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", path("pub.der"),
                      "-pubout", "-out", path("pub.pem")}),
                 0);
    }

    // OpenSSL derives from the private key file exactly the public key file's DER, and reads
    // it as 3072-bit RSA with exponent 65537.
    void keyFiles() {
        QByteArray derived;
        QCOMPARE(
            run({"rsa", "-in", path("priv.pem"), "-RSAPublicKey_out", "-outform", "DER"}, &derived),
            0);
        QCOMPARE(derived, readAll(path("pub.der")));
        QCOMPARE(derived.size(), 398);
        QByteArray text;
        QCOMPARE(run({"rsa", "-in", path("priv.pem"), "-noout", "-text"}, &text), 0);
        QVERIFY2(text.contains("Private-Key: (3072 bit, 2 primes)"), text.left(200).constData());
        QVERIFY(text.contains("publicExponent: 65537"));
    }

    void signatures_data() {
        QTest::addColumn<QString>("hash");
        QTest::addColumn<QString>("signer");
        QTest::addColumn<QString>("damage");
        for (const char* hash : {"sha1", "sha256"})
            for (const char* signer : {"openssl dgst", "openssl pkeyutl", "quillon-publish"})
                for (const char* damage : {"none", "file", "signature"})
                    QTest::addRow("%s, %s, damaged %s", hash, signer, damage)
                        << hash << signer << damage;
    }
    void signatures() {
        QFETCH(QString, hash);
        QFETCH(QString, signer);
        QFETCH(QString, damage);
        const QString file = path(QStringLiteral("payload-%1")
                                      .arg(QTest::currentDataTag())
                                      .replace(u' ', u'_')
                                      .replace(u',', u'_'));
        QByteArray content(70000, Qt::Uninitialized);
        for (qsizetype i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 31 % 251);
        QVERIFY(writeFile(file, content));
        const QString sig = file + QStringLiteral(".sig");

        if (signer == u"openssl dgst") {
            QCOMPARE(run(QStringList{"dgst"} + pssOptions(hash) +
                         QStringList{"-sign", path("priv.pem"), "-out", sig, file}),
                     0);
        } else if (signer == u"openssl pkeyutl") {
            QCOMPARE(run({"dgst", "-" + hash, "-binary", "-out", file + ".digest", file}), 0);
            QCOMPARE(run({"pkeyutl", "-sign", "-inkey", path("priv.pem"), "-pkeyopt",
                          "digest:" + hash, "-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt",
                          pssOptions(hash).last(), "-in", file + ".digest", "-out", sig}),
                     0);
        } else if (hash == u"sha1") {
            const PublishResult result = runPublish({"sign", file, "--key", devPrivateKeyPath()});
            QVERIFY2(result.ok, qPrintable(result.stdErr));
        } else {
            QVERIFY(signManifestWithDevKey(file));
        }
        QCOMPARE(readAll(sig).size(), 384);

        if (damage == u"file") {
            content[12345] = content[12345] ^ 0x10;
            QVERIFY(writeFile(file, content));
        } else if (damage == u"signature") {
            QByteArray bytes = readAll(sig);
            bytes[77] = bytes[77] ^ 0x01;
            QVERIFY(writeFile(sig, bytes));
        }
        const bool valid = damage == u"none";
        QCOMPARE(verifyWithTomCrypt(file, hash), valid);
        QCOMPARE(verifyWithOpenSsl(file, hash), valid);
    }

    // The salt length is part of the format: OpenSSL's default (the digest length) must not pass.
    void otherSaltLengthIsRejected() {
        const QString file = path("salt20");
        QVERIFY(writeFile(file, "salt"));
        QCOMPARE(
            run({"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                 "rsa_pss_saltlen:20", "-sign", path("priv.pem"), "-out", file + ".sig", file}),
            0);
        QVERIFY(!verifyWithTomCrypt(file, "sha1"));
    }
};

QTEST_GUILESS_MAIN(TstOpenSslInterop)
#include "tst_opensslinterop.moc"
