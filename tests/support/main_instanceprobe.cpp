// Stands in for the updater's start-up in single-instance tests, so that the guard can be run
// from several executable paths:
//   instanceprobe name              prints the local server name of this executable
//   instanceprobe run [message]     activates a running instance with message (default "#") and
//                                   exits 0, or else listens, prints "listening" and one line
//                                   "message:<text>" per activation until terminated
#include "config/singleinstancechecker.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    if (args.value(1) == QLatin1String("name")) {
        out << SingleInstanceChecker::getLocalServerName() << Qt::endl;
        return 0;
    }
    if (args.value(1) != QLatin1String("run")) {
        QTextStream(stderr) << "usage: instanceprobe name | run [message]" << Qt::endl;
        return 2;
    }
    if (SingleInstanceChecker::checkExistingInstance(args.size() > 2 ? args.at(2) : "#"))
        return 0;
    SingleInstanceChecker checker;
    QObject::connect(&checker, &SingleInstanceChecker::otherInstanceActivate,
                     [&out](const QString& message) { out << "message:" << message << Qt::endl; });
    out << "listening" << Qt::endl;
    return app.exec();
}
