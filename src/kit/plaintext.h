#pragma once
// Text that comes from the agent (names, paths, signatures, reasons) is shown only as
// plain text: control characters and bidirectional overrides are neutralised, and very
// long strings are cut. Every screen passes agent text through here.

#include <QString>

namespace tsav {

inline constexpr int plainTextMaxChars = 512;

// Safe display text: controls -> U+FFFD-free visible substitutes, bidi overrides
// removed, at most maxChars characters (an ellipsis marks the cut).
QString plainText(const QString &agentText, int maxChars = plainTextMaxChars);

} // namespace tsav
