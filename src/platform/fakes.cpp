#include "platform/fakes.h"

namespace tsav {

void RecordingLauncherBadge::setCount(std::optional<qint64> count)
{
    labels.append(count ? QString::number(*count) : QString());
}

bool RecordingSoundBackend::load(SoundKind kind)
{
    loaded.append(kind);
    return !missing.contains(kind);
}

QList<SoundKind> RecordingSoundBackend::kinds() const
{
    QList<SoundKind> out;
    for (const Play &p : plays)
        out.append(p.kind);
    return out;
}

int RecordingSoundBackend::count(SoundKind kind) const
{
    return int(std::count_if(plays.cbegin(), plays.cend(),
                             [kind](const Play &p) { return p.kind == kind; }));
}

QList<HapticPattern> RecordingHapticPerformer::patterns() const
{
    QList<HapticPattern> out;
    for (const Pulse &p : pulses)
        out.append(p.pattern);
    return out;
}

} // namespace tsav
