#pragma once
// Shared pieces of the screen tests: a scripted agent on a real socket in a scratch
// directory, the client talking to it, and a sound player over recording fakes that is
// also installed as the shared one (the pill buttons give their feedback through it).

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "platform/fakes.h"
#include "screens/screencontext.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "../testbase.h"

#include <chrono>
#include <functional>

namespace tsav::test {

// Spins the event loop until `done` holds; false when the watchdog ran out first.
inline bool waitUntil(const std::function<bool()> &done,
                      std::chrono::milliseconds watchdog = std::chrono::seconds(20))
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > watchdog.count())
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Lets the event loop run for a while (for things that must NOT happen).
inline void settle(std::chrono::milliseconds span)
{
    QTest::qWait(int(span.count()));
}

struct ScreenRig {
    QTemporaryDir dir{testDirTemplate(QStringLiteral("as"))};
    QString socketPath = dir.filePath(QStringLiteral("agent.sock"));
    ScriptedPeer peer{socketPath};
    AgentClient client{socketPath};
    RecordingServices rec;
    SoundPlayer player{&rec.sounds, &rec.haptics, &rec.preferences};

    ScreenRig() { SoundPlayer::installShared(&player); }
    ~ScreenRig() { SoundPlayer::installShared(nullptr); }

    ScreenContext context() { return ScreenContext{&client, nullptr, &player}; }

    // Every request received for `op`, parsed.
    QList<QJsonObject> requests(const QString &op) const
    {
        QList<QJsonObject> out;
        for (const QByteArray &raw : peer.requests()) {
            const QJsonObject o = QJsonDocument::fromJson(raw.trimmed()).object();
            if (o.value(QStringLiteral("op")).toString() == op)
                out.append(o);
        }
        return out;
    }

    void clearFeedback()
    {
        rec.sounds.plays.clear();
        rec.haptics.pulses.clear();
    }
};

} // namespace tsav::test
