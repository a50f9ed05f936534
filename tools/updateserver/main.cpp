// quillon-update-server: the update service's side of the updater's two UDP queries.
#include "serverconfig.h"
#include "updateserver.h"

#include "net/queryprotocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitCannotListen = 1;
constexpr int ExitBadConfig = 2;

const char HelpText[] = R"(Usage: quillon-update-server [options] CONFIG.ini

Answers the Quillon updater's UDP queries:
  version query (default port %1): "3\0" -> the version of every channel,
                                      "*\0" -> the news text
  banner query  (default port %2):  "\x01\x01" -> banner image URL and click URL
Every other datagram is ignored. One line per request goes to stderr.

Options:
  --address ADDR       listen on this IPv4 address (wins over the file)
  --version-port PORT  port of the version query (wins over the file; 0: any free port)
  --banner-port PORT   port of the banner query (wins over the file; 0: any free port)
  --check              check the file, print the answers and exit
  -h, --help           show this help
  --version            show the program's version

Signals: SIGHUP re-reads CONFIG.ini (and the news file); an invalid new configuration is
reported and the running one kept. SIGTERM and SIGINT end the server.

The configuration file: sections with "key = value" lines; lines starting with "#" or ";"
are comments; values are taken as written (no quotes, no escapes), up to the line end.
  [server]   address      IPv4 address to listen on (default 127.0.0.1)
             versionPort  default %1;  bannerPort  default %2
  [stable], [beta], [alpha]
             version      the client's version number, decimal (required)
             name         the version as shown to the user (may be empty; no ",")
             The updater finds a channel by its position: [beta] needs [stable], and
             [alpha] needs [beta]. Updaters on a channel that is not listed give up.
  [news]     text         the news line, rich text (HTML) on one line
             file         or: a file holding it, relative to CONFIG.ini
             An HTML comment <!--URL=address--> makes the whole line a link.
             Characters beyond Latin-1 are sent as HTML character references.
  [banner]   image        http(s) URL of the banner image (without it the banner query
                          gets no answer)
             click        URL opened when the banner is clicked
The answers must fit what the updater reads: %3 bytes for the version list, %4 bytes for
the news, %5 bytes for the banner; a file whose answers do not fit is refused.

Example:
    # /etc/quillon/update-server.ini
    [server]
    address = 127.0.0.1
    versionPort = %1
    bannerPort = %2

    [stable]
    version = 120
    name = 1.2.0

    [beta]
    version = 121
    name = 1.2.1

    [alpha]
    version = 130
    name = 1.3.0

    [news]
    text = <b>Quillon 1.3.0</b> is out: faster sync. <!--URL=https://quillon.example/news-->

    [banner]
    image = https://quillon.example/banner/130.png
    click = https://quillon.example/whatsnew

Exit codes: 0 ended by SIGTERM or SIGINT (or --check passed), 1 cannot listen,
2 bad command line or configuration.
)";

int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const char byte = char(number);
    // Nothing else is async-signal-safe here; the event loop does the work.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

bool installSignalHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGHUP, SIGTERM, SIGINT}) {
        if (::sigaction(number, &action, nullptr) != 0)
            return false;
    }
    return true;
}

bool parsePortOption(const QString& text, std::optional<quint16>& port) {
    quint16 value = 0;
    if (!ServerConfig::parsePort(text, value))
        return false;
    port = value;
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-update-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QT_STRINGIFY(PROJECT_VERSION)));
    QTextStream err(stderr);
    QTextStream out(stdout);

    QCommandLineParser parser;
    const QCommandLineOption helpOption(QStringList{"h", "help"});
    const QCommandLineOption versionOption("version");
    const QCommandLineOption checkOption("check");
    const QCommandLineOption addressOption("address", QString(), "ADDR");
    const QCommandLineOption versionPortOption("version-port", QString(), "PORT");
    const QCommandLineOption bannerPortOption("banner-port", QString(), "PORT");
    parser.addOptions({helpOption, versionOption, checkOption, addressOption, versionPortOption,
                       bannerPortOption});
    if (!parser.parse(app.arguments())) {
        err << "quillon-update-server: " << parser.errorText()
            << "\nTry 'quillon-update-server --help'." << Qt::endl;
        return ExitBadConfig;
    }
    if (parser.isSet(helpOption)) {
        out << QString::fromUtf8(HelpText)
                   .arg(QueryProtocol::VersionPort)
                   .arg(QueryProtocol::BannerPort)
                   .arg(QueryProtocol::VersionAnswerLimit)
                   .arg(QueryProtocol::NewsAnswerLimit)
                   .arg(QueryProtocol::BannerAnswerLimit);
        return ExitOk;
    }
    if (parser.isSet(versionOption)) {
        out << "quillon-update-server " << QCoreApplication::applicationVersion() << Qt::endl;
        return ExitOk;
    }
    if (parser.positionalArguments().size() != 1) {
        err << "quillon-update-server: give exactly one configuration file.\n"
               "Try 'quillon-update-server --help' for its format and an example."
            << Qt::endl;
        return ExitBadConfig;
    }
    const QString configPath = parser.positionalArguments().constFirst();

    ListenOverrides overrides;
    if (parser.isSet(addressOption)) {
        QHostAddress address;
        if (!address.setAddress(parser.value(addressOption)) ||
            address.protocol() != QAbstractSocket::IPv4Protocol) {
            err << "quillon-update-server: --address " << parser.value(addressOption)
                << " is not an IPv4 address" << Qt::endl;
            return ExitBadConfig;
        }
        overrides.address = address;
    }
    if ((parser.isSet(versionPortOption) &&
         !parsePortOption(parser.value(versionPortOption), overrides.versionPort)) ||
        (parser.isSet(bannerPortOption) &&
         !parsePortOption(parser.value(bannerPortOption), overrides.bannerPort))) {
        err << "quillon-update-server: a port is a number from 0 to 65535" << Qt::endl;
        return ExitBadConfig;
    }

    QString error;
    std::optional<ServerConfig> config = ServerConfig::load(configPath, &error);
    if (!config) {
        err << "quillon-update-server: " << error << Qt::endl;
        return ExitBadConfig;
    }
    overrides.applyTo(*config);
    if (parser.isSet(checkOption)) {
        out << "versions: " << QString::fromLatin1(config->versionAnswer) << '\n'
            << "news: " << QString::fromLatin1(config->newsAnswer) << '\n'
            << "banner: "
            << (config->bannerAnswer.isEmpty() ? QStringLiteral("(none, no answer)")
                                               : QString::fromLatin1(config->bannerAnswer))
            << Qt::endl;
        return ExitOk;
    }

    if (!installSignalHandlers()) {
        err << "quillon-update-server: cannot install signal handlers" << Qt::endl;
        return ExitCannotListen;
    }
    UpdateServer server;
    if (!server.apply(*config, &error)) {
        err << "quillon-update-server: " << error << Qt::endl;
        return config->versionPort != 0 && config->versionPort == config->bannerPort
                   ? ExitBadConfig
                   : ExitCannotListen;
    }
    const auto announce = [&](const ServerConfig& active) {
        err << "quillon-update-server: listening on " << active.address.toString() << ':'
            << server.versionPort() << " (version query) and " << active.address.toString() << ':'
            << server.bannerPort() << " (banner query)" << Qt::endl;
    };
    announce(*config);

    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char number = 0;
        if (::read(signalPipe[0], &number, 1) != 1)
            return;
        if (number != SIGHUP) {
            err << "quillon-update-server: stopping" << Qt::endl;
            app.quit();
            return;
        }
        QString reloadError;
        std::optional<ServerConfig> reloaded = ServerConfig::load(configPath, &reloadError);
        if (reloaded)
            overrides.applyTo(*reloaded);
        if (!reloaded || !server.apply(*reloaded, &reloadError)) {
            err << "quillon-update-server: reload failed, keeping the running configuration: "
                << reloadError << Qt::endl;
            return;
        }
        err << "quillon-update-server: configuration reloaded" << Qt::endl;
        announce(*reloaded);
    });
    return app.exec();
}
