#pragma once

#include <QString>

// Where the build put the programs, and where the sources (keys, scripts) are.
inline QString binPath(const QString& program) {
    return QStringLiteral(QUILLON_BIN_DIR "/") + program;
}
inline QString sourcePath(const QString& relative) {
    return QStringLiteral(QUILLON_SOURCE_DIR "/") + relative;
}
