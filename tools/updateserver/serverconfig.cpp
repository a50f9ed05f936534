#include "serverconfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

namespace {

// Which keys each section takes; anything else is a typo that should not go unnoticed.
const QHash<QString, QStringList>& knownKeys() {
    static const QHash<QString, QStringList> keys = {
        {"server", {"address", "versionPort", "bannerPort"}},
        {"stable", {"version", "name"}},
        {"beta", {"version", "name"}},
        {"alpha", {"version", "name"}},
        {"news", {"text", "file"}},
        {"banner", {"image", "click"}},
    };
    return keys;
}

using Sections = QHash<QString, QHash<QString, QString>>;

bool parseIni(const QString& path, Sections& sections, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QString section;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        const QString where = QStringLiteral("%1:%2: ").arg(path).arg(i + 1);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            if (!knownKeys().contains(section)) {
                *error = where + QStringLiteral("unknown section [%1]; known: [%2]")
                                     .arg(section, knownKeys().keys().join(QLatin1String("], [")));
                return false;
            }
            sections[section];
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            *error = where + QStringLiteral("expected \"key = value\" or \"[section]\"");
            return false;
        }
        if (section.isEmpty()) {
            *error = where + QStringLiteral("\"%1\" stands before any [section]").arg(line);
            return false;
        }
        const QString key = line.left(equals).trimmed();
        if (!knownKeys().value(section).contains(key)) {
            *error = where +
                     QStringLiteral("unknown key \"%1\" in [%2]; known: %3")
                         .arg(key, section, knownKeys().value(section).join(QLatin1String(", ")));
            return false;
        }
        if (sections[section].contains(key)) {
            *error = where + QStringLiteral("\"%1\" given twice in [%2]").arg(key, section);
            return false;
        }
        sections[section].insert(key, line.mid(equals + 1).trimmed());
    }
    return true;
}

// The updater decodes every answer as Latin-1.
bool isLatin1(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return false;
    }
    return true;
}

// The news is rich text, so characters beyond Latin-1 travel as character references.
QByteArray encodeNews(const QString& news) {
    QByteArray encoded;
    for (qsizetype i = 0; i < news.size(); ++i) {
        char32_t code = news.at(i).unicode();
        if (news.at(i).isHighSurrogate() && i + 1 < news.size() &&
            news.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(news.at(i), news.at(i + 1));
            ++i;
        }
        if (code <= 0xff)
            encoded += char(code);
        else
            encoded += "&#" + QByteArray::number(uint(code)) + ';';
    }
    return encoded;
}

} // namespace

std::optional<ServerConfig> ServerConfig::load(const QString& path, QString* error) {
    QString ignored;
    if (!error)
        error = &ignored;
    Sections sections;
    if (!parseIni(path, sections, error))
        return std::nullopt;
    auto fail = [&](const QString& message) {
        *error = path + QStringLiteral(": ") + message;
        return std::nullopt;
    };

    ServerConfig config;
    const auto server = sections.value(QStringLiteral("server"));
    if (server.contains(QStringLiteral("address"))) {
        const QString text = server.value(QStringLiteral("address"));
        if (!config.address.setAddress(text) ||
            config.address.protocol() != QAbstractSocket::IPv4Protocol)
            return fail(QStringLiteral("[server] address \"%1\" is not an IPv4 address (the "
                                       "updater asks over IPv4 only)")
                            .arg(text));
    }
    for (const auto& [key, port] : {std::pair{QStringLiteral("versionPort"), &config.versionPort},
                                    std::pair{QStringLiteral("bannerPort"), &config.bannerPort}}) {
        if (server.contains(key) && !parsePort(server.value(key), *port))
            return fail(QStringLiteral("[server] %1 \"%2\" is not a port number (0 to 65535)")
                            .arg(key, server.value(key)));
    }

    // The updater takes a channel's entry by its position, so no channel may be left out
    // before one that is given.
    static const QRegularExpression decimal(QStringLiteral("^[0-9]+$"));
    const QStringList channels = {"stable", "beta", "alpha"};
    QByteArrayList entries;
    for (int i = 0; i < channels.size(); ++i) {
        const QString& channel = channels.at(i);
        if (!sections.contains(channel))
            continue;
        if (entries.size() != i)
            return fail(QStringLiteral("[%1] is given but [%2] is not; the updater finds a "
                                       "channel by its position in the list")
                            .arg(channel, channels.at(entries.size())));
        const auto values = sections.value(channel);
        const QString version = values.value(QStringLiteral("version"));
        bool ok = false;
        const int number = version.toInt(&ok);
        if (!decimal.match(version).hasMatch() || !ok || number < 1)
            return fail(QStringLiteral("[%1] version \"%2\" is not a decimal version number "
                                       "(1 to 2147483647)")
                            .arg(channel, version));
        const QString name = values.value(QStringLiteral("name"));
        if (name.contains(QLatin1Char(',')) || !isLatin1(name))
            return fail(QStringLiteral("[%1] name \"%2\" must not contain \",\" and must be "
                                       "Latin-1 text")
                            .arg(channel, name));
        entries.append(QByteArray::number(number) + '#' + name.toLatin1());
    }
    if (entries.isEmpty())
        return fail(QStringLiteral("no channel: give at least [stable] with a version"));
    config.versionAnswer = entries.join(',');
    if (config.versionAnswer.size() > QueryProtocol::VersionAnswerLimit)
        return fail(QStringLiteral("the version list is %1 bytes; the updater reads at most %2")
                        .arg(config.versionAnswer.size())
                        .arg(QueryProtocol::VersionAnswerLimit));

    const auto news = sections.value(QStringLiteral("news"));
    QString newsText = news.value(QStringLiteral("text"));
    if (news.contains(QStringLiteral("file"))) {
        if (news.contains(QStringLiteral("text")))
            return fail(QStringLiteral("[news] takes either text or file, not both"));
        const QString newsPath =
            QFileInfo(path).dir().absoluteFilePath(news.value(QStringLiteral("file")));
        QFile file(newsPath);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("[news] file %1: %2").arg(newsPath, file.errorString()));
        newsText = QString::fromUtf8(file.readAll()).trimmed();
    }
    if (newsText.contains(QChar(0)))
        return fail(QStringLiteral("[news] contains a zero byte; the updater would cut it there"));
    config.newsAnswer = encodeNews(newsText);
    if (config.newsAnswer.size() > QueryProtocol::NewsAnswerLimit)
        return fail(QStringLiteral("[news] is %1 bytes; the updater reads at most %2")
                        .arg(config.newsAnswer.size())
                        .arg(QueryProtocol::NewsAnswerLimit));

    const auto banner = sections.value(QStringLiteral("banner"));
    const QString image = banner.value(QStringLiteral("image"));
    const QString click = banner.value(QStringLiteral("click"));
    if (!image.isEmpty() || !click.isEmpty()) {
        const QUrl imageUrl(image, QUrl::StrictMode);
        if (image.isEmpty() || !imageUrl.isValid() ||
            (imageUrl.scheme() != QLatin1String("http") &&
             imageUrl.scheme() != QLatin1String("https")))
            return fail(
                QStringLiteral("[banner] image \"%1\" is not an http or https URL").arg(image));
        if (!click.isEmpty() && !QUrl(click, QUrl::StrictMode).isValid())
            return fail(QStringLiteral("[banner] click \"%1\" is not a valid URL").arg(click));
        for (const QString& url : {image, click}) {
            if (url.contains(QLatin1Char(',')) || !isLatin1(url))
                return fail(QStringLiteral("[banner] URL \"%1\" must not contain \",\" (percent-"
                                           "encode it as %2C) and must be Latin-1 text")
                                .arg(url));
        }
        config.bannerAnswer = image.toLatin1() + ',' + click.toLatin1();
        if (config.bannerAnswer.size() > QueryProtocol::BannerAnswerLimit)
            return fail(QStringLiteral("[banner] answer is %1 bytes; the updater reads at most %2")
                            .arg(config.bannerAnswer.size())
                            .arg(QueryProtocol::BannerAnswerLimit));
    }
    return config;
}

bool ServerConfig::parsePort(const QString& text, quint16& port) {
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    port = quint16(value);
    return true;
}

void ListenOverrides::applyTo(ServerConfig& config) const {
    if (address)
        config.address = *address;
    if (versionPort)
        config.versionPort = *versionPort;
    if (bannerPort)
        config.bannerPort = *bannerPort;
}
