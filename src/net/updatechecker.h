#pragma once

#include "net/queryprotocol.h"

#include <QList>
#include <QPair>
#include <QString>

// Asks the update server over UDP for the current client version of every channel and for the
// news text. Synchronous: checkUpdate() blocks for up to two receive time-outs.
//
// The socket is connected to the server's address, so the kernel drops datagrams from anyone
// else; a forged answer from a third host is never read.
class UpdateChecker final {
public:
    static constexpr int DefaultTimeoutMs = 5000;

    explicit UpdateChecker(const QString& host, quint16 port = QueryProtocol::VersionPort,
                           int receiveTimeoutMs = DefaultTimeoutMs);

    // Runs readFromServer().
    bool checkUpdate();
    // Both exchanges: the version list ("3\0") and the news text ("*\0"). True only if both
    // succeeded and the version list was not empty. Each call starts from an empty channelVersions,
    // so a retry never serves the entries of an earlier attempt; entries received before a failed
    // news exchange stay.
    bool readFromServer();
    // The entry at index channel (the update channel's number), or two empty strings when the
    // server sent fewer entries.
    QPair<QString, QString> getClientVersionByChannel(int channel) const;

    // (version number, version name) per channel, in the order the server sent them.
    QList<QPair<QString, QString>> channelVersions;
    QString newsText;

private:
    QString host;
    quint16 port;
    int receiveTimeoutMs;
};
