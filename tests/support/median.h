#pragma once

#include <QList>

#include <algorithm>

// The middle value of a benchmark's rounds (the upper one of an even count); 0 for none.
inline double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}
