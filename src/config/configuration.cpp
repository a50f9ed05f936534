#include "config/configuration.h"

#include "config/installlayout.h"
#include "net/updatechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

Configuration::Configuration(QObject* parent)
    : QObject(parent) {
    readFiles();
}

bool Configuration::parseCommandLineOptions() {
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& args) {
    getUpdateChannel();
    noUserMode = 0;

    if (args.size() >= 2 && args.at(1) == QLatin1String("--nouser")) {
        if (args.size() >= 4 && !getClientTypeVersion(args, 2))
            return false;
        // "#" stands for no name, so that a news text can still follow.
        if (args.size() >= 5 && args.at(4) != QLatin1String("#"))
            clientVersionName = args.at(4);
        if (args.size() >= 6)
            newsText = args.at(5);
        if (!getDefaultParameters())
            return false;
        noUserMode = 1;
        return true;
    }
    if (args.size() == 3)
        return getClientTypeVersion(args, 1);
    return getDefaultParameters();
}

void Configuration::getUpdateChannel() {
    clientVersion = updateChannel == ChannelAlpha ? alphaRevno : 0;
}

bool Configuration::getClientTypeVersion(const QStringList& args, int index) {
    if (args.size() <= index) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    updateType = args.at(index);
    if (args.size() <= index + 1) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return getClientVersionFromString(args.at(index + 1), tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString& text, const QString& errorFormat) {
    // A version already set (alphaRevno) wins over anything given later.
    if (clientVersion != 0)
        return true;
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (!ok) {
        clientVersion = 0;
        emit fatalError(errorFormat.arg(text));
        return false;
    }
    return true;
}

bool Configuration::getDefaultParameters() {
    if (updateType.isEmpty())
        updateType = getUpdateType();
    if (clientVersion != 0)
        return true;
    const QPair<QString, QString> latest = getLatestClientVersion(updateChannel, newsText);
    // Empty after Abort or when the answer has no entry for the channel; nothing more to say.
    if (latest.first.isEmpty())
        return false;
    // The server's number must be plainly positive: no sign, no blanks, not 0.
    const QString& number = latest.first;
    const bool digitsOnly = std::all_of(number.cbegin(), number.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    bool ok = false;
    const int version = number.toInt(&ok, 10);
    if (!digitsOnly || !ok || version <= 0) {
        emit fatalError(tr("Update server returned invalid version nr (%1)").arg(number));
        return false;
    }
    clientVersion = version;
    clientVersionName = latest.second;
    return true;
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel,
                                                              QString& news) {
    UpdateChecker checker(updateServer, versionQueryPort, versionQueryTimeoutMs);
    for (;;) {
        if (checker.checkUpdate()) {
            news = checker.newsText;
            return checker.getClientVersionByChannel(channel);
        }
        bool retry = false;
        emit versionQueryFailed(&retry);
        if (!retry)
            return {};
    }
}

bool Configuration::initalizeStart(const QString& dir) {
    if (!dir.isEmpty()) {
        tempDir = dir;
        return true;
    }
    return createTempDir();
}

bool Configuration::createTempDir() {
    // Qt gives an empty path when TMPDIR names nothing that exists.
    const QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    // mkdtemp creates the directory exclusively; the umask may take bits from its 0700.
    QByteArray name = InstallLayout::tempDirTemplate(base);
    if (::mkdtemp(name.data())) {
        const QString dir = QFile::decodeName(name);
        QFile marker(InstallLayout::sessionMarkerPath(dir));
        if (::chmod(name.constData(), 0700) == 0 &&
            marker.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
            marker.write(InstallLayout::sessionMarkerContent(dir)) > 0 && marker.flush()) {
            tempDir = dir;
            return true;
        }
        marker.remove();
        ::rmdir(name.constData());
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

QString Configuration::getUpdateType() {
    return QStringLiteral("client_linux_amd64");
}
