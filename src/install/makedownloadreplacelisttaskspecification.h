#pragma once

#include "install/filespecifications.h"
#include "tasks/asynctaskspecification.h"

class Configuration;
class QSettings;

// Reads the verified product ini (tempDir + "/" + updateType + ".ini") on the pool and compares
// it with the installation: files whose installed copy is current go on no list; the others go
// on the replace list, and on the download list unless their verified download is already in
// the temporary directory. Keys of the "delete" section that exist go on the delete list.
// The run's lists are replaced only when the whole product ini was valid.
class MakeDownloadReplaceListTaskSpecification final : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // configuration and specs are not owned; specs is written only on the GUI thread.
    MakeDownloadReplaceListTaskSpecification(Configuration* configuration,
                                             FileSpecifications& specs, QObject* parent,
                                             double weight);

    Configuration* configuration;
    FileSpecifications* targetSpecs;
    // Filled by the worker; read only after its result has arrived.
    FileSpecifications resultSpecs;

protected:
    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;
};

class MakeDownloadReplaceListFunc final : public ASyncFunc {
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration* configuration, FileSpecifications& specs);

    // The number of keys in all sections, "delete" included.
    static int getFileCount(QSettings& settings);

    Configuration* configuration;
    FileSpecifications& resultSpecs;

protected:
    bool run() override;
};
