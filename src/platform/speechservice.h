#pragma once
// Speaks short announcements in the default voice.

#include <QString>

namespace tsav {

struct Utterance {
    QString text;
    double rate = 0.5;   // 0 slowest, 0.5 normal, 1 fastest
    double volume = 1.0; // 0..1
    bool operator==(const Utterance &) const = default;
};

class SpeechService {
public:
    virtual ~SpeechService() = default;
    // Queues the utterance and returns at once; without a speech engine nothing is said.
    virtual void speak(const Utterance &utterance) = 0;
};

} // namespace tsav
