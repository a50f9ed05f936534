#pragma once

#include "install/filespecifications.h"
#include "tasks/composedtaskspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root of one update run: six steps strictly one after another (product ini 0.08, release
// manifest 0.02, lists 0.05, downloads 0.4, replacement 0.4, deletion 0.05). Owns the run's three
// lists; the steps get pointers into them. A target below the installed version is refused
// before any step starts; a finished run records what it installed in "update.ini".
// Created, executed once and deleted by the engine.
class MainTaskSpecification final : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // The three pointers are borrowed from the engine, which outlives the task.
    MainTaskSpecification(QNetworkAccessManager* nam, Mirrors* mirrors,
                          Configuration* configuration, QObject* parent, qreal weight);

    // Emits "Starting update process", builds fresh steps and starts the first.
    void execute() override;

protected:
    void subtasksDone() override;
    void onReset() override;

private:
    QNetworkAccessManager* nam;
    Mirrors* mirrors;
    Configuration* configuration;
    FileSpecifications fileSpecifications;
    // Set by the manifest step.
    bool hadManifest = false;
};
