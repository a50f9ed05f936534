#include "processrandom.h"

QRandomGenerator& processRandom() {
    static QRandomGenerator generator;
    return generator;
}
