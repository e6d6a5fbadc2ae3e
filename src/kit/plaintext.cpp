#include "kit/plaintext.h"

#include <QList>

namespace tsav {

namespace {

// Characters that reorder or hide the text around them: the bidirectional embeddings,
// overrides and isolates, the implicit marks, and the invisible joiners/separators
// that could splice a misleading name together.
bool isInvisibleFormatting(char32_t c)
{
    switch (c) {
    case 0x200B: case 0x200C: case 0x200D: case 0x200E: case 0x200F: // ZW space/joiners, LRM/RLM
    case 0x202A: case 0x202B: case 0x202C: case 0x202D: case 0x202E: // embeddings, overrides
    case 0x2066: case 0x2067: case 0x2068: case 0x2069:             // isolates
    case 0x061C:                                                     // Arabic letter mark
    case 0x2060: case 0x2061: case 0x2062: case 0x2063: case 0x2064: // word joiner, invisible ops
    case 0xFEFF:                                                     // BOM / ZW no-break space
    case 0x2028: case 0x2029:                                        // line/paragraph separators
        return true;
    default:
        return false;
    }
}

// Visible stand-in for a C0/C1 control character: the Control Pictures block for C0
// (U+2400 + c, U+2421 for DEL), a middle dot for C1.
char32_t controlPicture(char32_t c)
{
    if (c < 0x20)
        return 0x2400 + c;
    if (c == 0x7F)
        return 0x2421;
    return 0x00B7;
}

} // namespace

QString plainText(const QString &agentText, int maxChars)
{
    if (maxChars < 1)
        maxChars = 1;
    QString out;
    out.reserve(std::min<qsizetype>(agentText.size(), maxChars + 1));
    int count = 0;
    bool cut = false;
    const auto ucs4 = agentText.toUcs4(); // unpaired surrogates arrive as U+FFFD
    for (uint u : ucs4) {
        char32_t c = u;
        if (isInvisibleFormatting(c))
            continue;
        if (c < 0x20 || (c >= 0x7F && c < 0xA0))
            c = (c == '\t') ? U' ' : controlPicture(c);
        if (count == maxChars) {
            cut = true;
            break;
        }
        out.append(QString::fromUcs4(&c, 1));
        ++count;
    }
    if (cut) {
        // Replace the last kept character by the ellipsis so the result stays within maxChars.
        if (!out.isEmpty()) {
            if (out.size() >= 2 && out.at(out.size() - 1).isLowSurrogate())
                out.chop(2);
            else
                out.chop(1);
        }
        out.append(QChar(0x2026));
    }
    return out;
}

} // namespace tsav
