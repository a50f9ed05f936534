#pragma once

#include <QString>

#include <cstddef>
#include <functional>

// Binary patches between two versions of a file: a zstd frame of the new file compressed with
// the old one as its reference prefix, with long-distance matching and a window that reaches
// back over the whole old file. Made by quillon-publish, applied by the updater.
namespace DeltaPatch {

// Files larger than this are never patched: both versions are mapped whole, and the decoder's
// window grows with them.
inline constexpr qint64 maxFileSize = qint64(512) << 20;

// Receives output in order; returning false stops the work.
using Sink = std::function<bool(const char* data, size_t size)>;

enum class Made { Patch, TooLarge, Failed };

// Writes to out a patch that turns oldPath's content into newPath's. TooLarge, as soon as the
// patch reaches limit bytes or when a file is above maxFileSize; Failed, with *error, when a file
// cannot be read or out refuses.
Made make(const QString& oldPath, const QString& newPath, qint64 limit, const Sink& out,
          QString* error);

// Applies patchPath to oldPath and hands out exactly resultSize bytes, never more: a patch
// for another result size, a damaged or cut patch, or one that asks for a larger window than
// the two sizes need, fails with *error, possibly after some output.
bool apply(const QString& oldPath, const QString& patchPath, qint64 resultSize, const Sink& out,
           QString* error);

} // namespace DeltaPatch
