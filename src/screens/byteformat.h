#pragma once
// The console's one byte-count formatter: powers of 1024, with the units each caller
// allows. 1536 bytes read "1.5 KB"; a value below the smallest allowed unit is written
// as a fraction of it ("0.5 KB"), and a value above the largest as a large number of it.

#include <QString>
#include <QtGlobal>

namespace tsav::bytes {

enum Unit : unsigned {
    B = 1u << 0,
    KB = 1u << 1,
    MB = 1u << 2,
    GB = 1u << 3,
    TB = 1u << 4,
};
inline constexpr unsigned kbToGb = KB | MB | GB; // quarantine sizes, network rates
inline constexpr unsigned mbToGb = MB | GB;      // process memory
inline constexpr unsigned anyUnit = B | KB | MB | GB | TB;

// `bytes` written with one decimal at most ("1.5 KB", "2 KB", "0 KB", "512 B").
// An empty unit set counts as anyUnit.
QString format(qint64 bytes, unsigned allowedUnits);

// A double made into whole bytes by dropping the fraction; NaN gives 0 and values
// beyond the 64-bit range give the nearest end of it.
qint64 truncateToBytes(double value);

// A byte rate with KB, MB and GB allowed, followed by "/s".
QString rate(double bytesPerSecond);

} // namespace tsav::bytes
