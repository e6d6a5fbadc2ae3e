// Dashboard tests: plain rules, and the screen on the offscreen platform against a
// scripted agent on a real socket. The local time zone is fixed for the calendar tests.
#include "kit/typography.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <ctime>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TZ", "Europe/Bucharest");
    tzset();
    QApplication app(argc, argv);
    tsav::fonts::ensureLoaded();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
