// GoogleTest entry point with a widgets application on the offscreen platform, the
// console's fonts loaded (shared by the widget test programs).
#include "kit/typography.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tsav::fonts::ensureLoaded();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
