#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

struct MirrorSetting;

// One mirror of the pool; a plain value copied freely. Mirrors are identified by name.
struct FTPSiteAccessData {
    QString name;
    // Base address, ending in "/" and the client version number.
    QString url;
    // Errors the mirror may have before it is removed.
    int retries = 0;
    // Timer ticks a download from this mirror may go without data.
    int timeout = 15;
    int errorCount = 0;
    // Downloads using the mirror now, and how many may use it at once.
    int useCount = 0;
    int maxUses = 1;
};

// The pool of download servers of one update run. Hands out mirrors at random in proportion to
// their free slots, counts errors, and drops mirrors that failed too often. Entries only ever
// leave the pool. GUI thread only.
class Mirrors : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Mirrors)

public:
    explicit Mirrors(QObject* parent = nullptr);

    // The mirrors of "mirrors.ini" (Settings::mirrors), each at its address plus "/" version.
    // Always true.
    bool initDefault(const QList<MirrorSetting>& list, int version);
    // The alpha channel's single mirror at alphaUrl (Settings::alphaUrl); false (and fatalError)
    // when the address is empty.
    bool initAlpha(const QString& alphaUrl, int version);

    // 0: a mirror was taken (its useCount counts this use) and copied to out; 1: the pool is
    // empty; 2: every slot is busy, try again after another download has ended.
    int getRandomMirror(FTPSiteAccessData& out);
    // The same for the named mirror only; 1 when it is no longer in the pool.
    int takeMirror(const QString& name, FTPSiteAccessData& out);
    // Names that are not in the pool are ignored by these three.
    void releaseMirror(const QString& name);
    void addMirrorError(const QString& name);
    void removeMirror(const QString& name);
    int getMirrorIndex(const QString& name) const;
    void calcUseStats(int& maxUses, int& useCount) const;

    QVector<FTPSiteAccessData> mirrors;
    bool noMirrorsReported = false;

signals:
    void message(QString message);
    void fatalError(QString errorMessage);
    // A use was given back or a mirror left the pool: a download waiting for a slot may start,
    // or learn that none is left.
    void slotsChanged();
};
