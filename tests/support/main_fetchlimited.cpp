// Downloads one file with a file-size limit in force, so that writes fail even for root:
// fetchlimited <mirror url> <remote path> <local file> <size limit>. Prints the task's and the
// pool's messages and errors, one per line; exits with the task's end state.
#include "download/downloadtaskspecification.h"
#include "download/mirroraccessmanager.h"
#include "download/mirrors.h"

#include <QCoreApplication>

#include <QTextStream>

#include <csignal>
#include <sys/resource.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        QTextStream(stderr) << "usage: fetchlimited <mirror url> <remote path> <local file> "
                               "<size limit>\n";
        return 64;
    }
    // Without this the first write beyond the limit kills the process instead of failing.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlim_t limit = args.at(4).toULongLong();
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);

    MirrorAccessManager manager;
    Mirrors pool;
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("only");
    mirror.url = args.at(1);
    mirror.retries = 2;
    pool.mirrors.append(mirror);
    DownloadTaskSpecification task(&manager, &pool, args.at(2), args.at(3), -1, nullptr, 1.0);

    QTextStream out(stdout);
    auto print = [&out](const QString& line) { out << line << '\n' << Qt::flush; };
    QObject::connect(&pool, &Mirrors::message, print);
    QObject::connect(&task, &TaskSpecification::message, print);
    QObject::connect(&task, &TaskSpecification::error, print);
    QObject::connect(&task, &TaskSpecification::finished, &app,
                     [&] { app.exit(int(task.state())); });
    QObject::connect(&task, &TaskSpecification::canceled, &app,
                     [&] { app.exit(int(task.state())); });
    task.execute();
    if (task.state() != TaskSpecification::Running)
        return int(task.state());
    return app.exec();
}
