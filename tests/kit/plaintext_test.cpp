// Agent text on screen: controls made visible, bidirectional tricks removed, length cut.
#include "kit/elide.h"
#include "kit/plaintext.h"
#include "kit/typography.h"

#include <QFontMetricsF>
#include <QRandomGenerator>
#include <QStringList>

#include <gtest/gtest.h>

using namespace tsav;

TEST(PlainText, BidiOverridesAndInvisibleJoinersAreRemoved)
{
    // "invoice\u202Efdp.exe" would show as "invoiceexe.pdf".
    const QString hostile = QStringLiteral("invoice\u202Efdp.exe");
    EXPECT_EQ(plainText(hostile), QStringLiteral("invoicefdp.exe"));
    EXPECT_EQ(plainText(QStringLiteral("a\u200Bb\u2066c\u2069d\uFEFFe\u200Ff")), QStringLiteral("abcdef"));
}

TEST(PlainText, ControlCharactersBecomeVisibleAndTabsSpaces)
{
    const QString s = plainText(QStringLiteral("line1\nline2\r\x1b[31m\tend\x7f"));
    EXPECT_FALSE(s.contains(QChar('\n')));
    EXPECT_FALSE(s.contains(QChar('\r')));
    EXPECT_FALSE(s.contains(QChar(0x1b)));
    EXPECT_TRUE(s.contains(QChar(0x240A))); // ␊
    EXPECT_TRUE(s.contains(QStringLiteral(" end")));
    EXPECT_TRUE(s.endsWith(QChar(0x2421)));
    // C1 controls too.
    EXPECT_FALSE(plainText(QStringLiteral("a\u0085b")).contains(QChar(0x85)));
}

TEST(PlainText, RomanianAndOtherScriptsPassUnchanged)
{
    const QString ro = QStringLiteral("Carantină — ă â î ș ț Ș Ț / 日本 / שלום / 😀");
    EXPECT_EQ(plainText(ro), ro);
}

TEST(PlainText, LongTextIsCutWithAnEllipsisWithinTheLimit)
{
    const QString longPath = QStringLiteral("/a").repeated(5000);
    const QString cut = plainText(longPath, 100);
    EXPECT_EQ(cut.size(), 100);
    EXPECT_TRUE(cut.endsWith(QChar(0x2026)));
    EXPECT_EQ(plainText(QStringLiteral("exactly"), 7), QStringLiteral("exactly"));

    // A cut never splits a surrogate pair.
    const QString emoji = QString::fromUcs4(U"😀😀😀😀😀😀", 6);
    const QString e = plainText(emoji, 3);
    EXPECT_EQ(e.toUcs4().size(), 3);
    EXPECT_FALSE(e.toUcs4().contains(0xFFFD));
    EXPECT_TRUE(e.endsWith(QChar(0x2026)));
}

TEST(PlainText, SurvivesRandomHostileInput)
{
    QRandomGenerator rng(1234);
    for (int round = 0; round < 2000; ++round) {
        QString s;
        const int n = int(rng.bounded(300));
        for (int i = 0; i < n; ++i)
            s.append(QChar(char16_t(rng.bounded(0x10000)))); // lone surrogates included
        const int limit = 1 + int(rng.bounded(200));
        const QString out = plainText(s, limit);
        const auto ucs = out.toUcs4();
        ASSERT_LE(ucs.size(), limit);
        for (uint c : ucs) {
            ASSERT_FALSE(c < 0x20 || (c >= 0x7F && c < 0xA0)) << c;
            ASSERT_FALSE(c >= 0x202A && c <= 0x202E) << c;
            ASSERT_FALSE(c >= 0x2066 && c <= 0x2069) << c;
        }
    }
}

TEST(ElideLines, KeepsAtMostTheGivenLinesEachWithinTheWidth)
{
    const QFont f = fonts::system(9);
    const QFontMetricsF fm(f);
    const QString text = QStringLiteral("tsav.unixsocket error 2: connect(/home/ana/Library/"
                                        "Application Support/TessalyAntivirus/agent.sock): No such "
                                        "file or directory and then some more words");
    const QString two = elideLines(text, f, 180, 2);
    const QStringList lines = two.split('\n');
    ASSERT_EQ(lines.size(), 2);
    for (const QString &l : lines)
        EXPECT_LE(fm.horizontalAdvance(l), 180.5) << l.toStdString();
    EXPECT_TRUE(lines[1].endsWith(QChar(0x2026)));

    EXPECT_EQ(elideLines(QStringLiteral("short"), f, 180, 2), QStringLiteral("short"));
    EXPECT_TRUE(elideLines(text, f, 180, 0).isEmpty());
}
