#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// The two UDP queries between the updater and the update server (quillon-update-server answers
// them): what is sent, to which port by default, and how much of an answer the updater reads.
namespace QueryProtocol {

// Version query: "3\0" answers "version#name,..." (one entry per channel, stable first), "*\0"
// answers the news text.
inline constexpr quint16 VersionPort = 17384;
inline constexpr QByteArrayView VersionRequest("3\0", 2);
inline constexpr QByteArrayView NewsRequest("*\0", 2);
inline constexpr int VersionAnswerLimit = 511;
inline constexpr int NewsAnswerLimit = 4095;

// Banner query: "\x01\x01" answers "imageUrl,clickUrl".
inline constexpr quint16 BannerPort = 2009;
inline constexpr QByteArrayView BannerRequest("\x01\x01", 2);
inline constexpr int BannerAnswerLimit = 1024;

} // namespace QueryProtocol
