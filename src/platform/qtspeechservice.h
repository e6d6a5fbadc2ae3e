#pragma once
// Speech through QTextToSpeech's "speechd" engine (speech-dispatcher). The engine is built
// on first use on a thread of its own, because connecting to speech-dispatcher can take
// seconds; utterances queue behind each other instead of cutting each other off.
// Never the "flite" engine: it crashes on phrases longer than about a second.

#include "platform/speechservice.h"

#include <QThread>

namespace tsav {

// 0..1 with 0.5 as normal speed, mapped to QTextToSpeech's -1..1 with 0 as normal.
double qtSpeechRate(double rate);

class QtSpeechService final : public SpeechService {
public:
    static inline const QString engineName = QStringLiteral("speechd");
    static constexpr int maxQueued = 16; // a burst of alerts must not talk for minutes

    QtSpeechService();
    ~QtSpeechService() override;

    void speak(const Utterance &utterance) override;

private:
    class Speaker;
    QThread m_thread;
    Speaker *m_speaker = nullptr; // lives in m_thread
};

} // namespace tsav
