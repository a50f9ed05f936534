#include "support/files.h"
#include "support/releasemaker.h"
#include "verify/tomcryptutil.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <malloc.h>
#include <thread>
#include <vector>

namespace {
const unsigned char* bytes(const QByteArray& data) {
    return reinterpret_cast<const unsigned char*>(data.constData());
}

QByteArray signWith(Rsa_key* key, const QByteArray& message) {
    QByteArray sig(512, '\0');
    unsigned long len = sig.size();
    sign_msg(key, bytes(message), message.size(), reinterpret_cast<unsigned char*>(sig.data()),
             &len);
    sig.truncate(len);
    return sig;
}

bool verifyWith(Rsa_key* key, const QByteArray& message, QByteArray sig) {
    return verify_msg(key, bytes(message), message.size(),
                      reinterpret_cast<unsigned char*>(sig.data()), sig.size());
}

// A signature that does not fit decodes to a malformed block (an exception) or to a mismatch.
bool rejected(Rsa_key* key, const QByteArray& message, const QByteArray& sig) {
    try {
        return !verifyWith(key, message, sig);
    } catch (const crypt_exception& e) {
        return QByteArray(e.what()).startsWith("rsa_verify_hash: ");
    }
}

// Runs `call` and returns the exception text, or "no exception".
template <typename Call> QString thrownText(Call call) {
    try {
        call();
    } catch (const crypt_exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("no exception");
}
} // namespace

class TstTomCryptUtil : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        crypt_init();
        const int hash = hash_idx;
        const int prng = prng_idx;
        QVERIFY(hash >= 0 && prng >= 0);
        // The engine initialises before every run: the indices must not move.
        crypt_init();
        QCOMPARE(hash_idx, hash);
        QCOMPARE(prng_idx, prng);
        load_key(privateKey.get(), QFile::encodeName(devPrivateKeyPath()).constData());
        load_key(publicKey.get(), PUBLIC_KEY, KEY_FILE_SIZE);
    }

    void compiledInKey() {
        QVERIFY(!publicKey.isPrivate());
        QCOMPARE(compiled_in_signature_size(), publicKey.size());
        if (!PUBLIC_KEY_IS_DEVELOPMENT_KEY)
            QSKIP("built with another public key");
        QCOMPARE(publicKey.size(), 384ul);
        // The DER header carries the key's own length; the rest of the 2048 bytes is filler.
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(PUBLIC_KEY), 4),
                 QByteArray("\x30\x82\x01\x8a"));
        QCOMPARE(readAll(devPublicKeyPath()),
                 QByteArray(reinterpret_cast<const char*>(PUBLIC_KEY), KEY_FILE_SIZE));
    }

    void signAndVerify_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("text") << QByteArray("[client]\nupdate=abc::12\n");
        QTest::newRow("1 MiB") << noise(1 << 20, 1);
    }
    void signAndVerify() {
        QFETCH(QByteArray, message);
        const QByteArray sig = signWith(privateKey.get(), message);
        QCOMPARE(sig.size(), qsizetype(publicKey.size()));
        QVERIFY(verifyWith(publicKey.get(), message, sig));
        // PSS is randomised: a second signature differs and verifies as well.
        const QByteArray again = signWith(privateKey.get(), message);
        QVERIFY(again != sig);
        QVERIFY(verifyWith(publicKey.get(), message, again));

        QByteArray changedMessage = message + QByteArray(1, '\0');
        if (!message.isEmpty()) {
            changedMessage = message;
            changedMessage[message.size() / 2] = changedMessage[message.size() / 2] ^ 0x01;
        }
        QVERIFY(rejected(publicKey.get(), changedMessage, sig));
        for (int at : {0, 64, int(sig.size()) - 1}) {
            QByteArray changedSig = sig;
            changedSig[at] = changedSig[at] ^ 0x80;
            QVERIFY2(rejected(publicKey.get(), message, changedSig),
                     qPrintable(QString::number(at)));
        }
    }

    void malformedSignatureThrows_data() {
        QTest::addColumn<int>("change");
        QTest::newRow("one byte short") << -1;
        QTest::newRow("one byte long") << 1;
        QTest::newRow("empty") << -int(KEY_FILE_SIZE);
    }
    void malformedSignatureThrows() {
        QFETCH(int, change);
        const QByteArray message("payload");
        QByteArray sig = signWith(privateKey.get(), message);
        sig.resize(qMax(0, int(sig.size()) + change), '\0');
        QCOMPARE(thrownText([&] { verifyWith(publicKey.get(), message, sig); }),
                 QStringLiteral("rsa_verify_hash: Invalid input packet."));
    }

    void signingNeedsPrivateKey() {
        const QString text = thrownText([&] { signWith(publicKey.get(), "x"); });
        QVERIFY2(text.startsWith(QStringLiteral("rsa_sign_hash: ")), qPrintable(text));
    }

    // 1024 bits is the size of keys that signed stored releases; they must keep verifying.
    void keyFileRoundTrip_data() {
        QTest::addColumn<int>("bits");
        QTest::newRow("default") << 0;
        QTest::newRow("1024") << 1024;
        QTest::newRow("2048") << 2048;
    }
    void keyFileRoundTrip() {
        QFETCH(int, bits);
        QTemporaryDir dir;
        const QByteArray priv = QFile::encodeName(dir.filePath(QStringLiteral("new.private")));
        const QByteArray pub = QFile::encodeName(dir.filePath(QStringLiteral("new.public")));
        RsaKey made;
        if (bits == 0)
            create_key(made.get());
        else
            create_key(made.get(), bits);
        QCOMPARE(made.size(), (bits == 0 ? 3072ul : bits) / 8);
        save_key(made.get(), KEY_PRIVATE, priv.constData());
        save_key(made.get(), KEY_PUBLIC, pub.constData());
        QCOMPARE(QFileInfo(QString::fromUtf8(priv)).size(), qint64(KEY_FILE_SIZE));
        QCOMPARE(QFileInfo(QString::fromUtf8(pub)).size(), qint64(KEY_FILE_SIZE));

        RsaKey loadedPrivate, loadedPublic;
        load_key(loadedPrivate.get(), priv.constData());
        load_key(loadedPublic.get(), pub.constData());
        QVERIFY(loadedPrivate.isPrivate());
        QVERIFY(!loadedPublic.isPrivate());
        // Same key: a signature by the reloaded private half verifies with the reloaded public one,
        // and a re-export is byte for byte the file.
        const QByteArray sig = signWith(loadedPrivate.get(), "round trip");
        QVERIFY(verifyWith(loadedPublic.get(), "round trip", sig));
        QVERIFY(rejected(publicKey.get(), "round trip", sig));
        const QByteArray digest(SHA256_SIZE, 'd');
        QByteArray sig256(KEY_FILE_SIZE, '\0');
        unsigned long len = KEY_FILE_SIZE;
        sign_sha256(loadedPrivate.get(), bytes(digest),
                    reinterpret_cast<unsigned char*>(sig256.data()), &len);
        sig256.truncate(len);
        QVERIFY(verify_sha256(loadedPublic.get(), bytes(digest),
                              reinterpret_cast<unsigned char*>(sig256.data()), len));
        // The two schemes never stand in for each other.
        QVERIFY(rejected(loadedPublic.get(), digest, sig256));
        QByteArray exported(KEY_FILE_SIZE, '\0');
        export_key(loadedPublic.get(), KEY_PUBLIC,
                   reinterpret_cast<unsigned char*>(exported.data()));
        QCOMPARE(readAll(QString::fromUtf8(pub)), exported);
    }

    void unsupportedKeySizes_data() {
        QTest::addColumn<int>("bits");
        QTest::newRow("512") << 512;
        QTest::newRow("4096, whose private half outgrows the key file") << 4096;
        QTest::newRow("not whole bytes") << 2047;
    }
    void unsupportedKeySizes() {
        QFETCH(int, bits);
        RsaKey key;
        QVERIFY(thrownText([&] { create_key(key.get(), bits); }).startsWith("rsa_make_key: "));
    }

    void fileErrors_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("load missing key") << "load_key"
                                          << "missing.key"
                                          << "rsa_import: ";
        QTest::newRow("load garbage key") << "load_key"
                                          << "garbage"
                                          << "rsa_import: ";
        QTest::newRow("save into missing dir") << "save_key"
                                               << "no/such.key"
                                               << "Cannot open file for writing: %1";
        QTest::newRow("read missing") << "read_file"
                                      << "missing"
                                      << "Cannot open file for reading: %1";
        QTest::newRow("write onto a directory") << "write_file"
                                                << "."
                                                << "Cannot open file for writing: %1";
        // The data only fails to land when the stream is flushed: must not pass as written.
        QTest::newRow("write to a full device") << "write_file"
                                                << "/dev/full"
                                                << "Cannot write file: %1";
    }
    void fileErrors() {
        QFETCH(QString, operation);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("garbage")), noise(2048, 2)));
        const QString full = path.startsWith(u'/') ? path : dir.filePath(path);
        const QByteArray name = QFile::encodeName(full);
        unsigned char data[16] = {};
        const QString text = thrownText([&] {
            RsaKey key;
            if (operation == u"load_key") {
                load_key(key.get(), name.constData());
            } else if (operation == u"save_key") {
                save_key(privateKey.get(), KEY_PUBLIC, name.constData());
            } else if (operation == u"read_file") {
                unsigned char* buf = nullptr;
                unsigned long len = 0;
                read_file(name.constData(), &buf, &len);
                free(buf);
            } else {
                write_file(name.constData(), data, sizeof data);
            }
        });
        QVERIFY2(text.startsWith(expected.contains(u"%1") ? expected.arg(full) : expected),
                 qPrintable(text));
    }

    void readFile_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("empty") << qsizetype(0);
        QTest::newRow("one block") << qsizetype(2048);
        QTest::newRow("several blocks") << qsizetype(5000);
    }
    void readFile() {
        QFETCH(qsizetype, size);
        QTemporaryDir dir;
        const QByteArray name = QFile::encodeName(dir.filePath(QStringLiteral("data")));
        const QByteArray data = noise(size, 3);
        write_file(name.constData(),
                   reinterpret_cast<unsigned char*>(const_cast<char*>(data.data())), data.size());
        // The buffer may come in non-null: read_file grows it with realloc.
        unsigned char* buf = static_cast<unsigned char*>(malloc(7));
        unsigned long len = 99;
        read_file(name.constData(), &buf, &len);
        QCOMPARE(len, static_cast<unsigned long>(size));
        QVERIFY(buf != nullptr);
        QVERIFY(malloc_usable_size(buf) >= 2048);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), len), data);
        free(buf);
    }

    // Checks run on several pool threads at once; they share only the registration tables.
    void concurrentVerification() {
        const QByteArray message = noise(4096, 4);
        const QByteArray sig = signWith(privateKey.get(), message);
        std::atomic<int> good{0}, bad{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 25; ++i) {
                    RsaKey key;
                    load_key(key.get(), PUBLIC_KEY, KEY_FILE_SIZE);
                    (verifyWith(key.get(), message, sig) ? good : bad)++;
                    QByteArray wrong = message;
                    wrong[i] = wrong[i] ^ 1;
                    (verifyWith(key.get(), wrong, sig) ? good : bad)++;
                }
            });
        for (auto& thread : threads)
            thread.join();
        QCOMPARE(good.load(), 100);
        QCOMPARE(bad.load(), 100);
    }

private:
    RsaKey privateKey;
    RsaKey publicKey;
};

QTEST_GUILESS_MAIN(TstTomCryptUtil)
#include "tst_tomcryptutil.moc"
