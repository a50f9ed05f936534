#pragma once

#include "net/queryprotocol.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <optional>

// What the update server answers, read from its ini file and checked against what the updater
// can take in: the version list in 511 bytes, the news in 4095, the banner in 1024.
struct ServerConfig {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 versionPort = QueryProtocol::VersionPort;
    quint16 bannerPort = QueryProtocol::BannerPort;

    // "version#name" per channel, comma-separated, stable first.
    QByteArray versionAnswer;
    QByteArray newsAnswer;
    // "imageUrl,clickUrl"; empty when no banner is configured (the query then goes unanswered).
    QByteArray bannerAnswer;

    // Reads and checks the file; on failure returns nothing and sets error to a message that
    // names the file, the section and the key.
    static std::optional<ServerConfig> load(const QString& path, QString* error);
    // A port number from 0 to 65535 (0: any free port).
    static bool parsePort(const QString& text, quint16& port);
};

// Command-line settings that win over the file, also across reloads.
struct ListenOverrides {
    std::optional<QHostAddress> address;
    std::optional<quint16> versionPort;
    std::optional<quint16> bannerPort;
    void applyTo(ServerConfig& config) const;
};
