#pragma once
// What a window repaints: paint events by widget type with the pixels their regions cover,
// and the window's repaint passes (each one a flush to the window system). Shared by the
// stepped-frame tool and the live console's start-up probe.

#include <QEvent>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPaintEvent>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>
#include <utility>

namespace tsav::bench {

// The dynamic type's readable name: helpers without a meta-object of their own would all
// read "QWidget". Each type is demangled once.
inline QByteArray typeName(const QObject &o)
{
    static QHash<const char *, QByteArray> names;
    const char *mangled = typeid(o).name();
    auto it = names.find(mangled);
    if (it == names.end()) {
        int status = 0;
        char *readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
        QByteArray name = status == 0 ? QByteArray(readable) : QByteArray(mangled);
        std::free(readable);
        name.replace("(anonymous namespace)::", "");
        it = names.insert(mangled, name);
    }
    return *it;
}

// Installed as an application event filter: it sees every event, so install it only for
// as long as it is needed.
class PaintCensus : public QObject {
public:
    struct Tally {
        qint64 events = 0;
        qint64 pixels = 0;
    };
    struct Census {
        QList<std::pair<QByteArray, Tally>> byType; // most pixels first
        qint64 events = 0, pixels = 0;
        qint64 repaints = 0;
    };

    using QObject::QObject;

    // What was counted since the last take, and counting starts afresh.
    Census take()
    {
        Census c;
        for (auto it = m_tally.cbegin(); it != m_tally.cend(); ++it) {
            c.byType.emplace_back(it.key(), it.value());
            c.events += it->events;
            c.pixels += it->pixels;
        }
        std::sort(c.byType.begin(), c.byType.end(),
                  [](const auto &a, const auto &b) { return a.second.pixels > b.second.pixels; });
        c.repaints = std::exchange(m_repaints, 0);
        m_tally.clear();
        return c;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!watched->isWidgetType())
            return false;
        if (event->type() == QEvent::UpdateRequest && static_cast<QWidget *>(watched)->isWindow()) {
            ++m_repaints;
        } else if (event->type() == QEvent::Paint) {
            QByteArray name = typeName(*watched);
            if (!watched->objectName().isEmpty())
                name += '#' + watched->objectName().toLatin1();
            Tally &t = m_tally[name];
            ++t.events;
            for (const QRect &r : static_cast<QPaintEvent *>(event)->region())
                t.pixels += qint64(r.width()) * r.height();
        }
        return false;
    }

private:
    QHash<QByteArray, Tally> m_tally;
    qint64 m_repaints = 0;
};

} // namespace tsav::bench
