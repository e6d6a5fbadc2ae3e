#include "platform/qtspeechservice.h"

#include <QDeadlineTimer>
#include <QLocale>
#include <QMetaObject>
#include <QQueue>
#include <QTextToSpeech>

#include <algorithm>

namespace tsav {

double qtSpeechRate(double rate)
{
    return std::clamp((rate - 0.5) * 2.0, -1.0, 1.0);
}

class QtSpeechService::Speaker : public QObject {
public:
    void enqueue(const Utterance &u)
    {
        if (m_failed)
            return;
        if (m_queue.size() >= maxQueued)
            return;
        m_queue.enqueue(u);
        if (!ensureEngine())
            return;
        if (m_tts->state() == QTextToSpeech::Ready)
            speakNext();
    }

private:
    bool ensureEngine()
    {
        if (m_tts)
            return true;
        if (!QTextToSpeech::availableEngines().contains(engineName)) {
            fail();
            return false;
        }
        m_tts = new QTextToSpeech(engineName, this);
        if (m_tts->state() == QTextToSpeech::Error) {
            fail();
            return false;
        }
        // The sentences are English whatever the desktop's language.
        m_tts->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        QObject::connect(m_tts, &QTextToSpeech::stateChanged, this,
                         [this](QTextToSpeech::State s) {
                             if (s == QTextToSpeech::Ready)
                                 speakNext();
                             else if (s == QTextToSpeech::Error)
                                 m_queue.clear();
                         });
        return true;
    }

    void fail()
    {
        m_failed = true; // no engine: stay silent from now on
        m_queue.clear();
        delete m_tts;
        m_tts = nullptr;
    }

    void speakNext()
    {
        if (m_queue.isEmpty())
            return;
        const Utterance u = m_queue.dequeue();
        m_tts->setRate(qtSpeechRate(u.rate));
        m_tts->setVolume(std::clamp(u.volume, 0.0, 1.0));
        m_tts->say(u.text);
    }

    QTextToSpeech *m_tts = nullptr;
    QQueue<Utterance> m_queue;
    bool m_failed = false;
};

QtSpeechService::QtSpeechService()
{
    m_thread.setObjectName(QStringLiteral("speech"));
    m_speaker = new Speaker;
    m_speaker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_speaker, &QObject::deleteLater);
    m_thread.start(QThread::LowPriority);
}

QtSpeechService::~QtSpeechService()
{
    m_thread.quit();
    // speech-dispatcher can take seconds to let go; do not hold up the caller for longer.
    m_thread.wait(QDeadlineTimer(3000));
}

void QtSpeechService::speak(const Utterance &utterance)
{
    QMetaObject::invokeMethod(m_speaker, [s = m_speaker, utterance] { s->enqueue(utterance); },
                              Qt::QueuedConnection);
}

} // namespace tsav
