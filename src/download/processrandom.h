#pragma once

#include <QRandomGenerator>

// The one random generator of the process: the mirror pool and the change log viewer draw from
// it, and the engine reseeds it at the start of every run, so choices are uniform yet a test can
// reproduce them by seeding it. GUI thread only (QRandomGenerator instances are not thread-safe).
QRandomGenerator& processRandom();
