#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <memory>
#include <stdexcept>

class RsaKey;

// A failure that ends the command with exit code 2 and its text as the one line on stderr.
class PublishError : public std::runtime_error {
public:
    explicit PublishError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
};

// Set by SIGINT, SIGTERM or SIGHUP once installInterruptHandlers() ran.
void installInterruptHandlers();
// Throws PublishError when an interrupt arrived, so that temporary results get cleaned up.
void checkInterrupted();

// Reads a key file and imports it; wrong size, unreadable file or a public key where a private
// one is needed are PublishErrors naming the file.
std::unique_ptr<RsaKey> loadKeyFile(const QString& path, bool needPrivate);
std::unique_ptr<RsaKey> loadCompiledInKey();
// The public half in key-file form (2048 bytes).
QByteArray publicKeyFile(const RsaKey& key);

// SHA-1 of a whole file, streamed.
QByteArray sha1OfFile(const QString& path);

// Writes through a temporary sibling and renames at the end: the target is either untouched or
// complete. Without overwrite an existing target is never replaced.
void writeFileAtomically(const QString& path, const QByteArray& data,
                         QFileDevice::Permissions perms, bool overwrite);
// rename() that refuses to replace an existing target.
bool renameNoReplace(const QString& from, const QString& to, QString* error);
// True for any existing entry, dangling symbolic links included.
bool entryExists(const QString& path);

// Checks FILE against FILE.sig. Returns whether it is valid; `reason` says why not.
// Throws PublishError when either file cannot be read.
bool verifyFileSignature(const QString& path, const RsaKey& key, QString* reason);

// The updater refuses absolute paths and ".." components, so a release must never contain them.
bool leavesRoot(const QString& path);
