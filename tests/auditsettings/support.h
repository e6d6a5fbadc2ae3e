#pragma once
// Shared pieces of the screen tests: a scripted agent on a real socket in a scratch
// directory, the client talking to it, and a sound player over recording fakes that is
// also installed as the shared one (the pill buttons give their feedback through it).

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "platform/fakes.h"
#include "screens/screencontext.h"

#include <QTemporaryDir>

#include "../testbase.h"
#include "../widgetsupport.h"

namespace tsav::test {

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

    QList<QJsonObject> requests(const QString &op) const { return requestsFor(peer, op); }

    void clearFeedback()
    {
        rec.sounds.plays.clear();
        rec.haptics.pulses.clear();
    }
};

} // namespace tsav::test
