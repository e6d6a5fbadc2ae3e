#pragma once
// Helpers for tests that drive the console's widgets offscreen: waiting with a watchdog,
// the questions a screen asks (window-modal, answered later), and the texts on screen.

#include "kit/frameclock.h"

#include <QAbstractButton>
#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QImage>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace tsav::test {

inline bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds watchdog = std::chrono::seconds(20))
{
    return QTest::qWaitFor(done, int(watchdog.count()));
}

// A dialog a screen opened (a child of one of the top-level windows), once it shows.
template <typename T = QMessageBox>
T *shownDialog(const QString &name)
{
    T *found = nullptr;
    waitFor([&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *d = w->findChild<T *>(name); d && d->isVisible())
                found = d;
        return found != nullptr;
    });
    return found;
}

inline QStringList buttonTitles(const QMessageBox *box)
{
    QStringList out;
    for (const QAbstractButton *b : box->buttons())
        out << b->text();
    return out;
}

inline void press(QMessageBox *box, const QString &title)
{
    ASSERT_NE(box, nullptr) << "no question was asked";
    for (QAbstractButton *b : box->buttons())
        if (b->text() == title)
            return b->click();
    ADD_FAILURE() << "no button " << title.toStdString();
}

// Every text a user (or a screen reader) meets in a widget tree: the labels shown, and
// the names of the widgets shown.
inline QStringList shownTexts(const QWidget *root)
{
    QStringList out;
    for (const QWidget *w : root->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(root))
            continue;
        if (auto *l = qobject_cast<const QLabel *>(w))
            out << l->text();
        if (!w->accessibleName().isEmpty())
            out << w->accessibleName();
    }
    return out;
}

// Something other than the window's dark background was drawn: a bright pixel.
inline bool hasInk(const QImage &img)
{
    for (int y = 0; y < img.height(); y += 2)
        for (int x = 0; x < img.width(); x += 2)
            if (qGray(img.pixel(x, y)) > 160)
                return true;
    return false;
}

// How many pixels of `area` (the whole picture when empty) differ between two pictures.
inline int differingPixels(const QImage &a, const QImage &b, QRect area = {})
{
    if (area.isEmpty())
        area = a.rect();
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return n;
}

// Frames only when the test steps the clock: to(t) freezes the clock at t and delivers
// that frame, with the paints it asked for.
struct SteppedClock {
    SteppedClock() { FrameClock::instance().setManual(true); }
    ~SteppedClock() { FrameClock::instance().setManual(false); }
    static void to(double t)
    {
        FrameClock::freeze(t);
        FrameClock::instance().tickNow();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
};

inline QJsonObject requestObject(const QByteArray &line) { return QJsonDocument::fromJson(line).object(); }

} // namespace tsav::test
