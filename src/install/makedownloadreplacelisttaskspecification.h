#pragma once

#include "install/filespecifications.h"
#include "tasks/asynctaskspecification.h"

class Configuration;

// Reads the verified product ini (ReleaseManifest::productIniFileName in tempDir) on the pool and
// compares it with the installation: files whose installed copy is current go on no list; the
// others go on the replace list, and on the download list unless their verified download is already
// in the temporary directory. Keys of the "delete" section that exist go on the delete list. The
// run's lists are replaced only when the whole product ini was valid.
class MakeDownloadReplaceListTaskSpecification final : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // configuration and specs are not owned. The configuration is read when the task starts;
    // specs is written on the GUI thread when the lists arrive.
    MakeDownloadReplaceListTaskSpecification(Configuration* configuration,
                                             FileSpecifications& specs, QObject* parent,
                                             double weight);

    Configuration* configuration;
    FileSpecifications* targetSpecs;

protected:
    Work createWork() override;
    void runDone(bool ok, std::any& value) override;
};
