#include "config/processtools.h"

#include "config/installlayout.h"

#include <QProcess>

void ProcessTools::startQlnClient() {
    // Program and an empty argument list, so that an installation path with blanks is not split.
    QProcess::startDetached(InstallLayout::filePath(InstallLayout::getClientBinaryName()), {});
}
