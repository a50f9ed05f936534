// quillon-publish: makes signing keys, writes signed releases into a mirror tree, signs and
// verifies files. Exit codes: 0 success, 1 an invalid signature or file found by verify,
// 2 any error (one line on stderr, nothing half-written left behind).

#include "manifestwriter.h"
#include "publishutil.h"
#include "releaseverifier.h"
#include "releasewriter.h"
#include "verify/releasemanifest.h"
#include "verify/tomcryptutil.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {
constexpr QFileDevice::Permissions PUBLIC_MODE = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ReadGroup | QFileDevice::ReadOther;
constexpr QFileDevice::Permissions PRIVATE_MODE = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

const char* const GENERAL_HELP = R"(Usage: quillon-publish <command> [options]

Publishes client releases for the Quillon updater.

Commands:
  keygen    make a signing key pair (3072-bit RSA by default, 2048-byte key files)
  release   write a build into a mirror tree as a signed release with its manifest, and
            patches from earlier versions (--delta-from)
  manifest  sign a release manifest for a published release directory, or renew its expiry
  sign      sign a file, writing FILE.sig
  verify    check FILE against FILE.sig, or check a whole release directory (applying its
            patches)

Run 'quillon-publish <command> --help' for the options of a command.
Exit codes: 0 success, 1 verify found an invalid signature or file, 2 error.
)";

// One parser per command, so that each command has its own --help.
class CommandLine final {
public:
    CommandLine(const QString& command, const QString& description, const QString& positional)
        : command(command)
        , positional(positional) {
        parser.setApplicationDescription(description);
        parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
        helpOption = parser.addHelpOption();
    }

    void add(const QString& name, const QString& description, const QString& valueName = {}) {
        parser.addOption(QCommandLineOption(name, description, valueName));
    }

    // False when --help was asked for (and printed).
    bool parse(const QStringList& arguments) {
        if (!parser.parse(arguments))
            throw PublishError(QStringLiteral("%1: %2 (see quillon-publish %1 --help)")
                                   .arg(command, parser.errorText()));
        if (parser.isSet(helpOption)) {
            QString help = parser.helpText();
            help.replace(0, help.indexOf(QLatin1Char('\n')),
                         QStringLiteral("Usage: quillon-publish %1 %2[options]")
                             .arg(command, positional.isEmpty() ? QString()
                                                                : positional + QLatin1Char(' ')));
            std::fputs(qUtf8Printable(help), stdout);
            return false;
        }
        const qsizetype wanted = positional.isEmpty() ? 0 : 1;
        if (parser.positionalArguments().size() != wanted)
            throw PublishError(
                wanted == 0 ? QStringLiteral("%1: unexpected argument '%2' (see quillon-publish "
                                             "%1 --help)")
                                  .arg(command, parser.positionalArguments().value(0))
                            : QStringLiteral("%1: give exactly one %2 (see quillon-publish %1 "
                                             "--help)")
                                  .arg(command, positional));
        return true;
    }

    QString required(const QString& name) const {
        QString value = parser.value(name);
        if (value.isEmpty())
            throw PublishError(QStringLiteral("%1: --%2 is required (see quillon-publish %1 "
                                              "--help)")
                                   .arg(command, name));
        return value;
    }
    QString value(const QString& name) const { return parser.value(name); }
    QStringList values(const QString& name) const { return parser.values(name); }
    bool isSet(const QString& name) const { return parser.isSet(name); }
    QString argument() const { return parser.positionalArguments().value(0); }

private:
    QCommandLineParser parser;
    QCommandLineOption helpOption{QStringLiteral("unused")};
    QString command;
    QString positional;
};

void addManifestOptions(CommandLine& cl) {
    cl.add(QStringLiteral("expires"),
           QStringLiteral("The manifest expires after DAYS days; updaters then refuse the release "
                          "as out of date until it is renewed with quillon-publish manifest "
                          "(default: never)."),
           QStringLiteral("DAYS"));
    cl.add(QStringLiteral("version-name"), QStringLiteral("Version name recorded in the manifest."),
           QStringLiteral("NAME"));
}

ManifestOptions manifestOptions(const CommandLine& cl) {
    ManifestOptions options;
    options.versionName = cl.value(QStringLiteral("version-name"));
    if (cl.isSet(QStringLiteral("expires"))) {
        bool ok = false;
        options.expiresDays = cl.value(QStringLiteral("expires")).toInt(&ok);
        if (!ok || options.expiresDays < 1 || options.expiresDays > 36500)
            throw PublishError(QStringLiteral("bad --expires '%1': give a number of days from 1 to "
                                              "36500")
                                   .arg(cl.value(QStringLiteral("expires"))));
    }
    return options;
}

int keygen(const QStringList& arguments) {
    CommandLine cl(QStringLiteral("keygen"),
                   QStringLiteral("Makes a new signing key pair. Keep the private file secret; "
                                  "build the updater with -DQUILLON_PUBLIC_KEY=<public file>."),
                   {});
    cl.add(QStringLiteral("private"), QStringLiteral("Private key file to write (mode 0600)."),
           QStringLiteral("FILE"));
    cl.add(QStringLiteral("public"), QStringLiteral("Public key file to write."),
           QStringLiteral("FILE"));
    cl.add(QStringLiteral("force"), QStringLiteral("Replace existing key files."));
    cl.add(QStringLiteral("bits"),
           QStringLiteral("Key size in bits: 1024 to 3072, a multiple of 8 (default 3072; the "
                          "key file holds no larger private key)."),
           QStringLiteral("N"));
    if (!cl.parse(arguments))
        return 0;
    int bits = DEFAULT_KEY_BITS;
    if (cl.isSet(QStringLiteral("bits"))) {
        bool ok = false;
        bits = cl.value(QStringLiteral("bits")).toInt(&ok);
        if (!ok || bits < MIN_KEY_BITS || bits > MAX_KEY_BITS || bits % 8 != 0)
            throw PublishError(QStringLiteral("keygen: bad --bits '%1': give a multiple of 8 from "
                                              "%2 to %3")
                                   .arg(cl.value(QStringLiteral("bits")))
                                   .arg(MIN_KEY_BITS)
                                   .arg(MAX_KEY_BITS));
    }
    const QString privatePath = cl.required(QStringLiteral("private"));
    const QString publicPath = cl.required(QStringLiteral("public"));
    const bool force = cl.isSet(QStringLiteral("force"));
    if (QFileInfo(privatePath).absoluteFilePath() == QFileInfo(publicPath).absoluteFilePath())
        throw PublishError(QStringLiteral("keygen: --private and --public name the same file"));
    if (!force)
        for (const QString& path : {privatePath, publicPath})
            if (entryExists(path))
                throw PublishError(
                    QStringLiteral("keygen: %1 exists; use --force to replace it").arg(path));

    RsaKey key;
    QByteArray privateData(KEY_FILE_SIZE, '\0');
    QByteArray publicData(KEY_FILE_SIZE, '\0');
    try {
        create_key(key.get(), bits);
        export_key(key.get(), KEY_PRIVATE, reinterpret_cast<unsigned char*>(privateData.data()));
        export_key(key.get(), KEY_PUBLIC, reinterpret_cast<unsigned char*>(publicData.data()));
    } catch (const crypt_exception& e) {
        throw PublishError(QStringLiteral("keygen: %1").arg(QString::fromUtf8(e.what())));
    }
    const bool privateExisted = entryExists(privatePath);
    writeFileAtomically(privatePath, privateData, PRIVATE_MODE, force);
    try {
        writeFileAtomically(publicPath, publicData, PUBLIC_MODE, force);
    } catch (const PublishError&) {
        // A private key without its public half is of no use; leave things as they were.
        if (!privateExisted)
            QFile::remove(privatePath);
        throw;
    }
    std::printf("wrote private key %s (keep it secret) and public key %s\n",
                qUtf8Printable(privatePath), qUtf8Printable(publicPath));
    return 0;
}

int release(const QStringList& arguments) {
    CommandLine cl(
        QStringLiteral("release"),
        QStringLiteral("Writes the files of a build directory into ROOT/VERSION/ of a mirror tree: "
                       "the files under SECTION/ (gzipped as NAME.gz where that makes them "
                       "smaller), the product ini TYPE.ini and its signature TYPE.ini.sig, the "
                       "release manifest TYPE.manifest and its signature TYPE.manifest.sig, "
                       "changelog_client.txt, and with --delta-from patches under patches/. The "
                       "release appears complete or not at all."),
        {});
    cl.add(QStringLiteral("build"), QStringLiteral("Directory holding the client build."),
           QStringLiteral("DIR"));
    cl.add(QStringLiteral("version"), QStringLiteral("Version number of the release (decimal)."),
           QStringLiteral("N"));
    cl.add(QStringLiteral("mirror"), QStringLiteral("Root of the mirror tree."),
           QStringLiteral("ROOT"));
    cl.add(QStringLiteral("key"), QStringLiteral("Private key file that signs the product ini."),
           QStringLiteral("PRIVATE"));
    cl.add(QStringLiteral("update-type"),
           QStringLiteral("Update type, the product ini's name (default client_linux_amd64)."),
           QStringLiteral("T"));
    cl.add(QStringLiteral("section"),
           QStringLiteral("Section and mirror directory of the files (default client)."),
           QStringLiteral("NAME"));
    cl.add(QStringLiteral("gzip-min-size"),
           QStringLiteral("Gzip files of at least this size when that makes them smaller "
                          "(default 1024)."),
           QStringLiteral("BYTES"));
    cl.add(QStringLiteral("previous"),
           QStringLiteral("Product ini of the previous release: files it has and this build "
                          "lacks are listed for deletion."),
           QStringLiteral("PRODUCT_INI"));
    cl.add(QStringLiteral("changelog"),
           QStringLiteral("Text file published as changelog_client.txt."), QStringLiteral("FILE"));
    cl.add(QStringLiteral("delta-from"),
           QStringLiteral("An earlier version to make patches from: its version number in this "
                          "mirror tree, its release directory or its build directory. Repeat for "
                          "several. Each changed file gets a patch under patches/, listed in the "
                          "manifest, when it is under half the file's download; files above 512 "
                          "MiB get none. Updaters that have that version's file fetch the patch "
                          "instead."),
           QStringLiteral("VERSION|DIR"));
    addManifestOptions(cl);
    if (!cl.parse(arguments))
        return 0;

    ReleaseOptions options;
    options.buildDir = cl.required(QStringLiteral("build"));
    options.version = cl.required(QStringLiteral("version"));
    options.mirrorRoot = cl.required(QStringLiteral("mirror"));
    options.keyFile = cl.required(QStringLiteral("key"));
    if (cl.isSet(QStringLiteral("update-type")))
        options.updateType = cl.value(QStringLiteral("update-type"));
    if (cl.isSet(QStringLiteral("section")))
        options.section = cl.value(QStringLiteral("section"));
    if (cl.isSet(QStringLiteral("gzip-min-size"))) {
        bool ok = false;
        options.gzipMinSize = cl.value(QStringLiteral("gzip-min-size")).toLongLong(&ok);
        if (!ok || options.gzipMinSize < 0)
            throw PublishError(QStringLiteral("release: bad --gzip-min-size '%1': give a number "
                                              "of bytes")
                                   .arg(cl.value(QStringLiteral("gzip-min-size"))));
    }
    options.previousIni = cl.value(QStringLiteral("previous"));
    options.changelog = cl.value(QStringLiteral("changelog"));
    options.deltaFrom = cl.values(QStringLiteral("delta-from"));
    const ManifestOptions manifest = manifestOptions(cl);
    options.versionName = manifest.versionName;
    options.expiresDays = manifest.expiresDays;
    ReleaseWriter(options).run();
    return 0;
}

int manifest(const QStringList& arguments) {
    CommandLine cl(QStringLiteral("manifest"),
                   QStringLiteral("Signs a release manifest for each signed product ini in the "
                                  "release directory DIR (named after its version), so that a "
                                  "release published without one is bound to its version and "
                                  "update type. Run it again to renew an expiry."),
                   QStringLiteral("DIR"));
    cl.add(QStringLiteral("key"), QStringLiteral("Private key file that signed the product ini."),
           QStringLiteral("PRIVATE"));
    addManifestOptions(cl);
    if (!cl.parse(arguments))
        return 0;
    const QString dir = cl.argument();
    const auto key = loadKeyFile(cl.required(QStringLiteral("key")), true);
    ManifestOptions options = manifestOptions(cl);
    const QString name = QFileInfo(QDir(dir).absolutePath()).fileName();
    bool ok = false;
    const int version = name.toInt(&ok);
    if (!ok || version < 1 || name != QString::number(version))
        throw PublishError(QStringLiteral("manifest: %1 is not a release directory: its name must "
                                          "be the version number")
                               .arg(dir));
    const QDir release(dir);
    // Every ini is checked before any manifest is written, so a wrong key writes nothing.
    QStringList inis;
    for (const QString& ini :
         release.entryList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name)) {
        const QString iniPath = release.filePath(ini);
        if (!QFileInfo::exists(iniPath + QStringLiteral(".sig")))
            continue;
        QString reason;
        if (!verifyFileSignature(iniPath, *key, &reason))
            throw PublishError(QStringLiteral("manifest: %1 is not signed by this key (%2); "
                                              "nothing written")
                                   .arg(iniPath, reason));
        inis << iniPath;
    }
    if (inis.isEmpty())
        throw PublishError(QStringLiteral("manifest: %1 holds no signed product ini (NAME.ini with "
                                          "NAME.ini.sig)")
                               .arg(dir));
    for (const QString& iniPath : std::as_const(inis)) {
        ManifestOptions these = options;
        // A renewal keeps the name the manifest already gives, unless a new one is given.
        ReleaseManifest old;
        QString ignored;
        const QString path =
            release.filePath(ReleaseManifest::fileName(QFileInfo(iniPath).completeBaseName()));
        const bool renewal = old.read(path, &ignored);
        if (!cl.isSet(QStringLiteral("version-name")) && renewal)
            these.versionName = old.versionName;
        // The patches stay listed: a renewal changes the dates only.
        if (renewal)
            these.patches = old.patches;
        writeManifest(iniPath, version, these, *key, true);
        std::printf("wrote %s\n", qUtf8Printable(path));
    }
    return 0;
}

int sign(const QStringList& arguments) {
    CommandLine cl(QStringLiteral("sign"),
                   QStringLiteral("Signs FILE (RSA-PSS, SHA-1, salt 8) and writes the raw "
                                  "signature to FILE.sig."),
                   QStringLiteral("FILE"));
    cl.add(QStringLiteral("key"), QStringLiteral("Private key file."), QStringLiteral("PRIVATE"));
    cl.add(QStringLiteral("force"), QStringLiteral("Replace an existing FILE.sig."));
    if (!cl.parse(arguments))
        return 0;
    const QString file = cl.argument();
    const auto key = loadKeyFile(cl.required(QStringLiteral("key")), true);
    if (!QFileInfo(file).isFile())
        throw PublishError(QStringLiteral("sign: %1 is not a readable file").arg(file));
    const QByteArray digest = sha1OfFile(file);
    QByteArray signature(KEY_FILE_SIZE, '\0');
    unsigned long length = KEY_FILE_SIZE;
    try {
        sign_hash(key->get(), reinterpret_cast<const unsigned char*>(digest.constData()),
                  reinterpret_cast<unsigned char*>(signature.data()), &length);
    } catch (const crypt_exception& e) {
        throw PublishError(QStringLiteral("sign: %1").arg(QString::fromUtf8(e.what())));
    }
    signature.truncate(length);
    writeFileAtomically(file + QStringLiteral(".sig"), signature, PUBLIC_MODE,
                        cl.isSet(QStringLiteral("force")));
    std::printf("wrote %s.sig\n", qUtf8Printable(file));
    return 0;
}

int verify(const QStringList& arguments) {
    CommandLine cl(QStringLiteral("verify"),
                   QStringLiteral("Checks FILE against FILE.sig. Given a release directory, "
                                  "checks the signature of each product ini in it, every line "
                                  "against the rules the updater enforces, its release manifest "
                                  "and every file the ini lists. Exit code 0 valid, 1 invalid, 2 "
                                  "error."),
                   QStringLiteral("FILE"));
    cl.add(QStringLiteral("public"),
           QStringLiteral("Public key file (default: the key compiled into this build)."),
           QStringLiteral("KEYFILE"));
    if (!cl.parse(arguments))
        return 0;
    const QString path = cl.argument();
    const auto key = cl.isSet(QStringLiteral("public"))
                         ? loadKeyFile(cl.value(QStringLiteral("public")), false)
                         : loadCompiledInKey();
    if (QFileInfo(path).isDir())
        return ReleaseVerifier(path, *key).run();
    QString reason;
    if (verifyFileSignature(path, *key, &reason)) {
        std::printf("%s: signature valid\n", qUtf8Printable(path));
        return 0;
    }
    std::printf("%s: signature INVALID: %s\n", qUtf8Printable(path), qUtf8Printable(reason));
    return 1;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-publish"));
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (command == u"--help" || command == u"-h" || command == u"help") {
        std::fputs(GENERAL_HELP, stdout);
        return 0;
    }
    if (command.isEmpty()) {
        std::fputs(GENERAL_HELP, stderr);
        return 2;
    }
    // The command's own parser sees "quillon-publish" followed by the command's arguments.
    arguments.removeAt(1);
    try {
        crypt_init();
        if (command == u"keygen")
            return keygen(arguments);
        if (command == u"release")
            return release(arguments);
        if (command == u"manifest")
            return manifest(arguments);
        if (command == u"sign")
            return sign(arguments);
        if (command == u"verify")
            return verify(arguments);
        throw PublishError(
            QStringLiteral("unknown command '%1' (see quillon-publish --help)").arg(command));
    } catch (const PublishError& e) {
        // One line, whatever names from files or directories it quotes.
        std::string text = e.what();
        for (char& c : text)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                c = '?';
        std::fprintf(stderr, "quillon-publish: %s\n", text.c_str());
    } catch (const crypt_exception& e) {
        std::fprintf(stderr, "quillon-publish: %s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "quillon-publish: out of memory\n");
    }
    return 2;
}
