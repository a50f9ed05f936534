#include "support/samplesite.h"

#include "support/downloadfixture.h"
#include "support/faulthttpserver.h"
#include "support/files.h"
#include "support/releasemaker.h"
#include "support/testpaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

namespace SampleSite {

namespace {

QByteArray lines(const QString& prefix, int count) {
    QByteArray out;
    for (int i = 1; i <= count; ++i)
        out += (prefix + QStringLiteral(" row %1\n").arg(i)).toUtf8();
    return out;
}

bool copyTree(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + path.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(path, target))
            return false;
        QFile::setPermissions(target, QFile::permissions(path));
    }
    return true;
}

} // namespace

QMap<QString, QByteArray> files(int version) {
    const bool isNew = version >= NewVersion;
    QMap<QString, QByteArray> tree;
    tree.insert(QStringLiteral("qlnclient_runscript.sh"),
                QStringLiteral("#!/bin/sh\n"
                               "echo \"Quillon client %1 started\" >> \"$(dirname \"$0\")/../"
                               "client-started.log\"\n")
                    .arg(version)
                    .toUtf8());
    tree.insert(QStringLiteral("bin/qlnclient"), "client binary " + QByteArray::number(version));
    tree.insert(LargeFile, noise(400000, quint32(version)));
    for (int i = 1; i <= 20; ++i) {
        // Odd maps change in 130, even ones stay.
        const bool changes = isNew && i % 2 == 1;
        tree.insert(QStringLiteral("data/maps/map%1.txt").arg(i, 2, 10, QLatin1Char('0')),
                    lines(QStringLiteral("map %1%2").arg(i).arg(changes ? " v130" : ""), 60));
    }
    tree.insert(QStringLiteral("share/version.txt"), QByteArray::number(version) + "\n");
    if (!isNew) {
        tree.insert(QStringLiteral("share/legacy.txt"), "gone in 130\n");
    } else {
        for (int i = 1; i <= 3; ++i)
            tree.insert(QStringLiteral("plugins/sync/plugin%1.qpl").arg(i),
                        lines(QStringLiteral("plugin %1").arg(i), 40));
        tree.insert(QStringLiteral("docs/manual.txt"),
                    lines(QStringLiteral("The Quillon manual, paragraph"), 8000));
    }
    return tree;
}

bool make(const QString& workDir, Site* site) {
    site->build120 = workDir + QStringLiteral("/build-120");
    site->build130 = workDir + QStringLiteral("/build-130");
    site->mirrorRoot = workDir + QStringLiteral("/mirror");
    if (!writeTree(site->build120, files(OldVersion)) ||
        !writeTree(site->build130, files(NewVersion)))
        return false;
    for (const QString& build : {site->build120, site->build130})
        QFile::setPermissions(build + QStringLiteral("/qlnclient_runscript.sh"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                  QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                  QFile::ExeOther);
    const QString changelog = workDir + QStringLiteral("/changelog.txt");
    if (!writeFile(changelog, "Quillon 130\n\n- faster sync\n- sync plug-ins\n"))
        return false;

    const PublishResult old = makeRelease(site->build120, OldVersion, site->mirrorRoot);
    if (!old.ok)
        return false;
    PublishOptions options;
    options.previous = old.productIni;
    options.changelog = changelog;
    return makeRelease(site->build130, NewVersion, site->mirrorRoot, options).ok;
}

bool install(const Site& site, const QString& installDir, const QStringList& mirrorBaseUrls,
             const QMap<QString, QString>& updateIniValues) {
    if (!QDir().mkpath(installDir) || !copyTree(site.build120, installDir))
        return false;
    const QString program = installDir + QStringLiteral("/update");
    if (!QFile::copy(binPath(QStringLiteral("update")), program))
        return false;
    QFile::setPermissions(program, QFile::permissions(binPath(QStringLiteral("update"))));
    if (!copyTree(binPath(QStringLiteral("translations")),
                  installDir + QStringLiteral("/translations")))
        return false;
    {
        QSettings ini(installDir + QStringLiteral("/update.ini"), QSettings::IniFormat);
        for (auto it = updateIniValues.cbegin(); it != updateIniValues.cend(); ++it)
            ini.setValue(it.key(), it.value());
    }
    return writeMirrorsIni(installDir + QStringLiteral("/mirrors.ini"), mirrorBaseUrls);
}

QString dripLargeFile(FaultHttpServer& mirror, int bytes) {
    FaultRule slow;
    slow.dripBytes = bytes;
    slow.dripIntervalMs = 100;
    const QString path = QStringLiteral("/%1/client/").arg(NewVersion) + LargeFile;
    mirror.setRule(path, slow);
    return path;
}

TreeSnapshot clientFiles(const QString& root) {
    static const QRegularExpression mode(QStringLiteral("^(file|dir) [0-7]+"));
    TreeSnapshot out;
    const TreeSnapshot all = snapshotTree(root);
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        const QString& path = it.key();
        if (path == u"update" || path == u"update.ini" || path == u"mirrors.ini" ||
            path == u"translations" || path.startsWith(u"translations/"))
            continue;
        QString value = it.value();
        value.replace(mode, QStringLiteral("\\1"));
        out.insert(path, value);
    }
    return out;
}

QString clientLogPath(const QString& installDir) {
    return QFileInfo(installDir).absolutePath() + QStringLiteral("/client-started.log");
}

} // namespace SampleSite
