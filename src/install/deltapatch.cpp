#include "deltapatch.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

namespace DeltaPatch {
namespace {

constexpr int compressionLevel = 19;
constexpr size_t readChunk = size_t(128) * 1024;

// A whole file mapped read-only; an empty file maps to nothing.
class MappedFile final {
public:
    MappedFile() = default;
    ~MappedFile() {
        if (data && data != MAP_FAILED)
            ::munmap(data, size_t(size));
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool open(const QString& path, QString* error) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            *error = QStringLiteral("cannot read %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        size = st.st_size;
        if (size > 0 && size <= maxFileSize)
            data = ::mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (data == MAP_FAILED) {
            *error = QStringLiteral("cannot map %1").arg(path);
            return false;
        }
        if (data)
            ::madvise(data, size_t(size), MADV_SEQUENTIAL);
        return true;
    }

    void* data = nullptr;
    qint64 size = 0;
};

// A window that reaches from the end of the new file back to the start of the old one.
int windowLogFor(qint64 oldSize, qint64 newSize) {
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (qint64(1) << log) < oldSize + newSize)
        ++log;
    return log;
}

QString zstdError(size_t code) {
    return QString::fromLatin1(ZSTD_getErrorName(code));
}

struct FreeCCtx {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct FreeDCtx {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

} // namespace

Made make(const QString& oldPath, const QString& newPath, qint64 limit, const Sink& out,
          QString* error) {
    MappedFile oldFile, newFile;
    if (!oldFile.open(oldPath, error) || !newFile.open(newPath, error))
        return Made::Failed;
    if (oldFile.size > maxFileSize || newFile.size > maxFileSize)
        return Made::TooLarge;

    std::unique_ptr<ZSTD_CCtx, FreeCCtx> cctx(ZSTD_createCCtx());
    const int windowLog = windowLogFor(oldFile.size, newFile.size);
    for (const auto& [param, value] :
         {std::pair{ZSTD_c_compressionLevel, compressionLevel},
          std::pair{ZSTD_c_windowLog, windowLog}, std::pair{ZSTD_c_enableLongDistanceMatching, 1},
          std::pair{ZSTD_c_checksumFlag, 1}}) {
        const size_t rc = ZSTD_CCtx_setParameter(cctx.get(), param, value);
        if (ZSTD_isError(rc)) {
            *error = zstdError(rc);
            return Made::Failed;
        }
    }
    // The prefix is referenced, not copied: the mapping must outlive the frame.
    size_t rc = ZSTD_CCtx_setPledgedSrcSize(cctx.get(), quint64(newFile.size));
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_refPrefix(cctx.get(), oldFile.data, size_t(oldFile.size));
    if (ZSTD_isError(rc)) {
        *error = zstdError(rc);
        return Made::Failed;
    }

    QByteArray buffer(qsizetype(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    ZSTD_inBuffer in{newFile.data, size_t(newFile.size), 0};
    qint64 written = 0;
    for (;;) {
        ZSTD_outBuffer output{buffer.data(), size_t(buffer.size()), 0};
        const size_t remaining = ZSTD_compressStream2(cctx.get(), &output, &in, ZSTD_e_end);
        if (ZSTD_isError(remaining)) {
            *error = zstdError(remaining);
            return Made::Failed;
        }
        written += qint64(output.pos);
        if (written >= limit)
            return Made::TooLarge;
        if (!out(buffer.constData(), output.pos)) {
            *error = QStringLiteral("cannot write the patch");
            return Made::Failed;
        }
        if (remaining == 0)
            return Made::Patch;
    }
}

bool apply(const QString& oldPath, const QString& patchPath, qint64 resultSize, const Sink& out,
           QString* error) {
    MappedFile oldFile;
    if (!oldFile.open(oldPath, error))
        return false;
    if (oldFile.size > maxFileSize || resultSize > maxFileSize || resultSize < 0) {
        *error = QStringLiteral("file too large for a patch");
        return false;
    }
    QFile patch(patchPath);
    if (!patch.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(patchPath, patch.errorString());
        return false;
    }

    std::unique_ptr<ZSTD_DCtx, FreeDCtx> dctx(ZSTD_createDCtx());
    // The largest window the publisher could have chosen for these sizes: a patch that asks for
    // more is not one of ours, and must not make the decoder allocate it.
    size_t rc = ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                                       windowLogFor(oldFile.size, resultSize));
    if (!ZSTD_isError(rc))
        rc = ZSTD_DCtx_refPrefix(dctx.get(), oldFile.data, size_t(oldFile.size));
    if (ZSTD_isError(rc)) {
        *error = zstdError(rc);
        return false;
    }

    QByteArray input(readChunk, Qt::Uninitialized);
    QByteArray output(qsizetype(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    qint64 produced = 0;
    bool first = true;
    size_t hint = 1;
    for (;;) {
        const qint64 got = patch.read(input.data(), input.size());
        if (got < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(patchPath, patch.errorString());
            return false;
        }
        if (got == 0)
            break;
        if (first) {
            first = false;
            // The frame names its result's size; anything else is not the file we want.
            if (ZSTD_getFrameContentSize(input.constData(), size_t(got)) != quint64(resultSize)) {
                *error = QStringLiteral("the patch makes a file of another size");
                return false;
            }
        }
        ZSTD_inBuffer in{input.constData(), size_t(got), 0};
        while (in.pos < in.size) {
            if (hint == 0) {
                *error = QStringLiteral("data after the end of the patch");
                return false;
            }
            ZSTD_outBuffer o{output.data(), size_t(output.size()), 0};
            hint = ZSTD_decompressStream(dctx.get(), &o, &in);
            if (ZSTD_isError(hint)) {
                *error = zstdError(hint);
                return false;
            }
            produced += qint64(o.pos);
            if (produced > resultSize) {
                *error = QStringLiteral("the patch makes more than %1 bytes").arg(resultSize);
                return false;
            }
            if (o.pos > 0 && !out(output.constData(), o.pos)) {
                *error = QStringLiteral("cannot write the result");
                return false;
            }
        }
    }
    // Flush what the decoder may still hold once all input is in.
    while (hint != 0 && !first) {
        ZSTD_inBuffer in{nullptr, 0, 0};
        ZSTD_outBuffer o{output.data(), size_t(output.size()), 0};
        hint = ZSTD_decompressStream(dctx.get(), &o, &in);
        if (ZSTD_isError(hint)) {
            *error = zstdError(hint);
            return false;
        }
        if (o.pos == 0)
            break;
        produced += qint64(o.pos);
        if (produced > resultSize || !out(output.constData(), o.pos)) {
            *error = QStringLiteral("the patch makes more than %1 bytes").arg(resultSize);
            return false;
        }
    }
    if (first || hint != 0) {
        *error = QStringLiteral("the patch is cut short");
        return false;
    }
    if (produced != resultSize) {
        *error = QStringLiteral("the patch makes %1 bytes, not %2").arg(produced).arg(resultSize);
        return false;
    }
    return true;
}

} // namespace DeltaPatch
