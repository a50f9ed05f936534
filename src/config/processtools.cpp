#include "config/processtools.h"

#include "config/configuration.h"

#include <QProcess>

void ProcessTools::startQlnClient() {
    // Program and an empty argument list, so that an installation path with blanks is not split.
    QProcess::startDetached(Configuration::getAppRootPath() + QLatin1Char('/') +
                                Configuration::getClientBinaryName(),
                            {});
}
