// Runs the replace step (and, when it finishes, the delete step) over an installation in a
// process of its own, so that a test can give it a file-size limit.
//
// replacerunner APPROOT TEMPDIR LISTFILE [FSIZE_LIMIT_BYTES]
// LISTFILE: one replace entry per line, tab-separated: section, key, unzip MD5, unzip size,
// unzip file name (the last three may be empty). Prints every message line, then
// "end <state>" with the replace step's final state. Exit code 0 when it finished, 3 if not.

#include "config/configuration.h"
#include "config/installlayout.h"
#include "install/filedeletelisttaskspecification.h"
#include "install/filereplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4 || args.contains(QLatin1String("--help"))) {
        std::fprintf(stderr, "usage: replacerunner APPROOT TEMPDIR LISTFILE [FSIZE_LIMIT_BYTES]\n");
        return args.contains(QLatin1String("--help")) ? 0 : 1;
    }
    if (args.size() > 4) {
        // Writes beyond the limit then fail with EFBIG instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlim_t limit = args.at(4).toULongLong();
        const rlimit rl{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) {
            std::perror("setrlimit");
            return 1;
        }
    }

    InstallLayout::setAppRootPath(args.at(1));
    Configuration configuration;
    configuration.tempDir = args.at(2);

    QFile listFile(args.at(3));
    if (!listFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args.at(3)));
        return 1;
    }
    FileSpecifications specs;
    for (const QString& line : QString::fromUtf8(listFile.readAll()).split('\n')) {
        if (line.isEmpty())
            continue;
        QStringList f = line.split('\t');
        while (f.size() < 5)
            f << QString();
        specs.replaceList.append({f.at(0), f.at(1), f.at(2), f.at(3).toULongLong(), f.at(4)});
    }

    QTextStream out(stdout);
    const auto print = [&out](const QString& text) { out << text << Qt::endl; };
    FileReplaceListTaskSpecification replace(&specs.replaceList, &specs.deleteList, &configuration,
                                             nullptr, 1.0);
    FileDeleteListTaskSpecification remove(&specs.deleteList, nullptr, 1.0);
    for (TaskSpecification* task :
         {static_cast<TaskSpecification*>(&replace), static_cast<TaskSpecification*>(&remove)}) {
        QObject::connect(task, &TaskSpecification::message, print);
        QObject::connect(task, &TaskSpecification::error, print);
    }
    QObject::connect(&replace, &TaskSpecification::finished, [&] { remove.execute(); });
    QObject::connect(&replace, &TaskSpecification::canceled, [&] { app.exit(3); });
    QObject::connect(&remove, &TaskSpecification::finished, [&] { app.exit(0); });
    // From inside the loop: an empty list ends at once, and exit() needs a running loop.
    QMetaObject::invokeMethod(
        &replace, [&] { replace.execute(); }, Qt::QueuedConnection);
    const int code = app.exec();
    print(QStringLiteral("end %1").arg(int(replace.state())));
    return code;
}
