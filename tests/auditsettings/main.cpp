// The screens need a widget application; every test runs offscreen.
#include "kit/typography.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    tsav::fonts::ensureLoaded();
    return RUN_ALL_TESTS();
}
