#pragma once

#include "tasks/asynctaskspecification.h"

#include <QByteArray>
#include <QString>

#include <functional>

// The work: checks one file against an expected MD5 sum, or, when the sum is empty, against
// the RSA signature in the file's ".sig" companion under the compiled-in public key.
// Files are streamed through the hash, so memory does not grow with their size. A plain value:
// the pool runs a copy, and list building runs one synchronously.
class CheckSigFunc final {
public:
    CheckSigFunc(const QString& fileName, const QString& md5);

    bool run(ASyncReport& report) const;
    // The verdict alone, its messages dropped.
    bool run() const {
        ASyncReport none;
        return run(none);
    }

    // Reads a whole (small) file; reports a message and returns false when it cannot.
    static bool readFile(const QString& name, QByteArray& data, ASyncReport& report);
    // The file's MD5 in hexadecimal; empty, with readFile()'s messages, when it cannot be read.
    static QString md5Of(const QString& name, ASyncReport& report);
    bool checkMD5(ASyncReport& report) const;
    bool checkRSA(ASyncReport& report) const;

    QString fileName;
    QString md5;
    // See CheckSignatureTaskSpecification::computedMd5.
    QString computedMd5;

private:
    // Feeds the whole file to `consume` in chunks, with readFile()'s messages and results.
    static bool hashFile(const QString& name,
                         const std::function<void(const char*, qint64)>& consume,
                         ASyncReport& report);
};

// Runs a CheckSigFunc on the pool and reports the verdict through checkDone(), so that the owner
// can retry or change mirror instead of simply failing.
class CheckSignatureTaskSpecification final : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // shownName, when given, names the file in the failure line instead of fileName.
    CheckSignatureTaskSpecification(QString fileName, QString md5, bool cancelOnFailure,
                                    QObject* parent, double weight, QString shownName = {});

    QString fileName;
    QString shownName;
    // Expected MD5 as 32 hex digits in either case; empty selects the signature check.
    QString md5;
    // A failed check ends as ErrorCanceled when true, as Finished when false.
    bool cancelOnFailure;
    // The file's MD5 in hex as computed while it was written; when set, the file is not read.
    QString computedMd5;

signals:
    // Once per run, when the result arrives while the task still runs; before the task ends.
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    Work createWork() override;
    void runDone(bool pass, std::any& value) override;
    // A sum taken while downloading leaves only a comparison.
    bool runsInline() override { return !computedMd5.isEmpty() && !md5.isEmpty(); }

private:
    quint64 runNumber = 0;
};
