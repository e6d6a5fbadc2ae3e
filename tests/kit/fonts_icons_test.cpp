// Fonts from the Debian packages, Romanian diacritics, and a glyph for every icon name.
#include "kit/icons.h"
#include "kit/typography.h"

#include <QFontInfo>
#include <QImage>
#include <QPainter>
#include <QRawFont>

#include <gtest/gtest.h>

using namespace tsav;

namespace {

int inkPixels(const QImage &img)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += qAlpha(img.pixel(x, y)) > 64;
    return n;
}

} // namespace

TEST(Fonts, TheThreeFamiliesComeFromThePackages)
{
    EXPECT_EQ(QFontInfo(fonts::system(13)).family(), QStringLiteral("Inter"));
    EXPECT_EQ(QFontInfo(fonts::rounded(20, fonts::Weight::Bold)).family(), QStringLiteral("Quicksand"));
    EXPECT_EQ(QFontInfo(fonts::mono(12)).family(), QStringLiteral("JetBrains Mono"));
    EXPECT_TRUE(QFontInfo(fonts::mono(12)).fixedPitch());
    // A point is one device-independent pixel.
    EXPECT_NEAR(QFontInfo(fonts::system(13)).pixelSize(), 13, 1);
}

TEST(Fonts, RomanianDiacriticsWithCommaBelowRender)
{
    const QString diacritics = QStringLiteral("ăâîșțȘȚĂÂÎ");
    for (const QFont &f : {fonts::system(13), fonts::rounded(13), fonts::mono(13),
                           fonts::system(13, fonts::Weight::Heavy)}) {
        const QRawFont raw = QRawFont::fromFont(f);
        ASSERT_TRUE(raw.isValid()) << f.family().toStdString();
        for (QChar c : diacritics)
            EXPECT_TRUE(raw.supportsCharacter(c)) << f.family().toStdString() << " U+" << std::hex << int(c.unicode());
    }
}

TEST(Fonts, TabularDigitsHaveEqualWidths)
{
    const QFont f = fonts::rounded(30, fonts::Weight::Bold);
    EXPECT_DOUBLE_EQ(fonts::tabularWidth(f, "1111"), fonts::tabularWidth(f, "8888"));
    EXPECT_DOUBLE_EQ(fonts::tabularWidth(f, "1.5%"), fonts::tabularWidth(f, "9.0%"));
}

TEST(Icons, EveryNameInTheTableHasAGlyphThatInks)
{
    const QRawFont raw = QRawFont::fromFont(icons::font(24));
    ASSERT_TRUE(raw.isValid());
    ASSERT_EQ(raw.familyName(), QStringLiteral("Material Icons"));
    for (const QString &name : icons::allNames()) {
        SCOPED_TRACE(name.toStdString());
        const QString g = icons::glyph(name);
        ASSERT_EQ(g.size(), 1);
        EXPECT_TRUE(raw.supportsCharacter(g.at(0)));
        QImage img(32, 32, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        QPainter p(&img);
        icons::draw(p, QRectF(0, 0, 32, 32), name, Qt::white, 24);
        p.end();
        EXPECT_GT(inkPixels(img), 20);
    }
}

TEST(Icons, UnknownNamesGetTheFallbackGlyph)
{
    EXPECT_FALSE(icons::known("no.such.symbol"));
    EXPECT_EQ(icons::glyph("no.such.symbol"), icons::glyph("another.unknown"));
    EXPECT_NE(icons::glyph("no.such.symbol"), icons::glyph("bolt.fill"));
    EXPECT_FALSE(icons::icon("bolt.fill", Qt::red, 32).isNull());
}
