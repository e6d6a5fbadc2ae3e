#pragma once
// Axis values for the hand-painted charts: "nice" round values (1, 2, 5 times a power
// of ten; whole minutes and hours for time) chosen for about the desired count.

#include <QList>

namespace tsav::axis {

struct Ticks {
    double lo = 0;    // the axis range, widened to whole steps
    double hi = 1;
    double step = 1;
    QList<double> values; // lo, lo + step, ..., hi
};

// Round values covering [min, max] with about `desired` intervals. A flat or empty
// range is widened so that the axis always has a positive span; non-finite input is
// treated as 0.
Ticks niceTicks(double min, double max, int desired);

// Like niceTicks for counts: whole-number steps only.
Ticks niceIntegerTicks(double min, double max, int desired);

// Time marks (seconds since the epoch) inside [t0, t1], spaced by a whole number of
// minutes or hours so that "HH:mm" labels never repeat; about `desired` of them.
QList<double> timeTicks(double t0, double t1, int desired);

} // namespace tsav::axis
