#include "screens/settingsview.h"

#include "agentlink/agentclient.h"
#include "alerts/feedback.h"
#include "alerts/soundplayer.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/tspanel.h"
#include "kit/tspillbutton.h"
#include "kit/typography.h"
#include "screens/screenparts.h"
#include "platform/preferences.h"
#include "screens/settingslogic.h"
#include "screens/settingsswitch.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace tsav {

using fonts::Weight;
using feedback::Trigger;

namespace {

// A title over a subtitle (and, when given, a note under it) on the left and a control on
// the right, aligned to the top.
QWidget *switchRow(const QString &title, const QFont &titleFont, const QColor &titleColor,
                   const QString &subtitle, QWidget *control, int verticalInset, QLabel *note = nullptr)
{
    auto *row = new QWidget;
    auto *h = new QHBoxLayout(row);
    h->setContentsMargins(0, verticalInset, 0, verticalInset);
    h->setSpacing(12);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(makeLabel(title, titleFont, titleColor));
    QLabel *sub = makeLabel(subtitle, fonts::system(11), palette::textSecondary);
    sub->setWordWrap(true);
    texts->addWidget(sub);
    if (note)
        texts->addWidget(note);
    h->addLayout(texts, 1);
    h->addWidget(control, 0, Qt::AlignTop);
    return row;
}

// A picker that a wheel turning over it while the page scrolls does not change: only a
// focused picker takes wheel steps, others pass the wheel on to the page.
class SchedulePicker : public QComboBox {
public:
    SchedulePicker() { setFocusPolicy(Qt::StrongFocus); }

protected:
    void wheelEvent(QWheelEvent *e) override
    {
        if (hasFocus())
            QComboBox::wheelEvent(e);
        else
            e->ignore();
    }
};

QString comboStyle()
{
    return QStringLiteral(
        "QComboBox { color: white; background: rgba(255,255,255,10); border: 1px solid "
        "rgba(255,255,255,31); border-radius: 6px; padding: 3px 10px; }"
        "QComboBox:focus { border-color: rgba(56,189,248,160); }"
        "QComboBox QAbstractItemView { color: white; background: rgb(18,24,44); "
        "selection-background-color: rgba(220,38,60,51); border: 1px solid "
        "rgba(255,255,255,31); outline: none; }");
}

} // namespace

SettingsView::SettingsView(const ScreenContext &context, QWidget *parent)
    : QWidget(parent), m_agent(context.agent), m_sound(context.sound)
{
    setObjectName(QStringLiteral("SettingsView"));

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = makePageScrollArea();
    outer->addWidget(scroll);

    auto *content = new QWidget;
    content->setAutoFillBackground(false);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(18);

    auto *header = new QVBoxLayout;
    header->setSpacing(2);
    header->addWidget(makeLabel(settings::kTitle, fonts::rounded(26, Weight::Bold),
                                palette::textPrimary));
    header->addWidget(makeLabel(settings::kSubtitle, fonts::system(12), palette::textSecondary));
    column->addLayout(header);

    column->addWidget(buildEngines());
    column->addWidget(buildSound());
    column->addWidget(buildSchedule());
    column->addWidget(buildArchitecture());
    column->addStretch(1);
    scroll->setWidget(content);
    content->setAutoFillBackground(false); // setWidget() turned it on; the window paints

    if (m_agent) {
        connect(m_agent, &AgentClient::settingsChanged, this, &SettingsView::syncEngines);
        connect(m_agent, &AgentClient::scheduledScanHoursChanged, this, [this] {
            if (m_schedulePending == 0) {
                m_scheduleAwaitsCycle = false;
                syncSchedule();
            }
        });
        // After a scheduled-scan command nothing reloads at once: the next cycle decides
        // (and a failed cycle puts back what the client holds).
        connect(m_agent, &AgentClient::cycleFinished, this, [this] {
            if (m_schedulePending == 0 && m_scheduleAwaitsCycle) {
                m_scheduleAwaitsCycle = false;
                syncSchedule();
            }
        });
    }
    syncEngines();
    syncSchedule();
}

SettingsView::~SettingsView() = default;

SoundPlayer &SettingsView::player() const
{
    return m_sound ? *m_sound : SoundPlayer::shared();
}

QWidget *SettingsView::buildEngines()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("settings.engines"));
    panel->contentLayout()->setSpacing(14);
    const auto rows = settings::engineRows();
    for (int i = 0; i < int(rows.size()); ++i) {
        const settings::EngineRow &row = rows[size_t(i)];
        auto *toggle = new SettingsSwitch(row.title, settings::switchTint(row));
        toggle->setObjectName(QStringLiteral("engine.") + wireName(row.key));
        m_engineSwitches[size_t(i)] = toggle;
        connect(toggle, &QAbstractButton::clicked, this,
                [this, i](bool checked) { changeEngine(i, checked); });
        QLabel *note = makeLabel(QString(), fonts::system(11, Weight::Medium), palette::accentAmber);
        note->setObjectName(QStringLiteral("unavailable.") + wireName(row.key));
        note->setWordWrap(true);
        note->hide();
        m_engineNotes[size_t(i)] = note;
        panel->addWidget(switchRow(row.title, fonts::system(13, Weight::Semibold),
                                   settings::titleColor(row), row.subtitle, toggle, 4, note));
    }
    return panel;
}

QWidget *SettingsView::buildSound()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("settings.sound"));
    panel->contentLayout()->setSpacing(14);
    panel->addWidget(makeLabel(settings::kSoundPanelTitle, fonts::system(13, Weight::Semibold),
                               palette::textPrimary));

    const Preferences &prefs = player().preferences();
    m_soundSwitch = new SettingsSwitch(settings::kSoundTitle, palette::accentGreen);
    m_soundSwitch->setObjectName(QStringLiteral("settings.sounds"));
    m_soundSwitch->setChecked(prefs.soundsEnabled());
    connect(m_soundSwitch, &QAbstractButton::clicked, this, &SettingsView::changeSounds);
    panel->addWidget(switchRow(settings::kSoundTitle, fonts::system(12, Weight::Semibold),
                               palette::textPrimary, settings::kSoundSubtitle, m_soundSwitch, 0));

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    for (const settings::TestButton &b : settings::testButtons()) {
        const Trigger trigger = b.action;
        auto *button = new TSPillButton(b.title, b.icon, b.kind,
                                        [this, trigger] { feedback::give(trigger, player()); });
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    panel->contentLayout()->addLayout(buttons);

    m_voiceSwitch = new SettingsSwitch(settings::kVoiceTitle, palette::accentRed);
    m_voiceSwitch->setObjectName(QStringLiteral("settings.voice"));
    m_voiceSwitch->setChecked(prefs.voiceEnabled());
    connect(m_voiceSwitch, &QAbstractButton::clicked, this, &SettingsView::changeVoice);
    panel->addWidget(switchRow(settings::kVoiceTitle, fonts::system(12, Weight::Semibold),
                               palette::textPrimary, settings::kVoiceSubtitle, m_voiceSwitch, 0));

    return panel;
}

QWidget *SettingsView::buildSchedule()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("settings.schedule"));
    m_schedule = new SchedulePicker;
    m_schedule->setObjectName(QStringLiteral("settings.scheduledScan"));
    m_schedule->setFixedWidth(200);
    m_schedule->setFont(fonts::system(12));
    m_schedule->setStyleSheet(comboStyle());
    m_schedule->setAccessibleName(settings::kScheduleTitle);
    for (const settings::ScanChoice &choice : settings::scanChoices())
        m_schedule->addItem(choice.label, QVariant::fromValue(choice.hours));
    connect(m_schedule, &QComboBox::activated, this, [this](int index) {
        const auto choices = settings::scanChoices();
        if (index < 0 || index >= int(choices.size()))
            return;
        changeSchedule(choices[size_t(index)].hours);
    });

    auto *row = new QHBoxLayout;
    row->setSpacing(12);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(makeLabel(settings::kScheduleTitle, fonts::system(13, Weight::Semibold),
                               palette::textPrimary));
    QLabel *sub = makeLabel(settings::kScheduleSubtitle, fonts::system(11), palette::textSecondary);
    sub->setWordWrap(true);
    texts->addWidget(sub);
    row->addLayout(texts, 1);
    row->addWidget(m_schedule, 0, Qt::AlignVCenter);
    panel->contentLayout()->addLayout(row);
    return panel;
}

QWidget *SettingsView::buildArchitecture()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("settings.architecture"));
    panel->contentLayout()->setSpacing(6);
    panel->addWidget(makeLabel(settings::kArchitectureTitle, fonts::system(14, Weight::Semibold),
                               palette::textPrimary));
    QLabel *line = makeLabel(settings::kArchitectureLine, fonts::mono(11), palette::textSecondary);
    line->setWordWrap(true);
    panel->addWidget(line);
    QLabel *note = makeLabel(settings::kArchitectureNote, fonts::system(11), palette::textTertiary);
    note->setWordWrap(true);
    panel->addWidget(note);
    return panel;
}

void SettingsView::syncEngines()
{
    for (int i = 0; i < int(m_engineSwitches.size()); ++i)
        syncEngine(i);
}

void SettingsView::syncEngine(int row)
{
    const SettingKey key = settings::engineRows()[size_t(row)].key;
    static const QHash<QString, QString> none;
    const bool shown = m_agent && settings::displayedValue(m_agent->settings(), key);
    const QString note = settings::unavailableLine(m_agent ? m_agent->unavailableSettings() : none, key, shown);
    m_engineNotes[size_t(row)]->setText(note);
    m_engineNotes[size_t(row)]->setVisible(!note.isEmpty());
    if (m_enginePending[size_t(row)] > 0)
        return; // the command's own follow-up decides
    m_engineSwitches[size_t(row)]->setChecked(shown);
}

QString SettingsView::engineNote(int row) const
{
    const QLabel *note = m_engineNotes.at(size_t(row));
    return note->isHidden() ? QString() : note->text();
}

void SettingsView::syncSchedule()
{
    if (m_schedulePending > 0 || m_scheduleAwaitsCycle)
        return;
    const qint64 hours = m_agent ? m_agent->scheduledScanHours() : 0;
    m_schedule->setCurrentIndex(settings::scanChoiceIndex(hours));
}

QCoro::Task<> SettingsView::changeEngine(int row, bool value)
{
    feedback::give(Trigger::settingChanged, player());
    QPointer<AgentClient> agent = m_agent;
    if (!agent) {
        syncEngine(row);
        co_return;
    }
    QPointer<SettingsView> self(this);
    ++m_enginePending[size_t(row)];
    co_await agent->setSetting(settings::engineRows()[size_t(row)].key, value);
    if (!self)
        co_return;
    --m_enginePending[size_t(row)];
    syncEngine(row);
}

QCoro::Task<> SettingsView::changeSchedule(qint64 hours)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent || (m_schedulePending == 0 && !m_scheduleAwaitsCycle &&
                   hours == agent->scheduledScanHours())) {
        syncSchedule();
        co_return; // the same choice again: nothing changes
    }
    feedback::give(Trigger::settingChanged, player());
    QPointer<SettingsView> self(this);
    ++m_schedulePending;
    co_await agent->setScheduledScanHours(hours);
    if (!self)
        co_return;
    if (--m_schedulePending == 0)
        m_scheduleAwaitsCycle = true;
}

void SettingsView::changeSounds(bool on)
{
    Preferences &prefs = player().preferences();
    prefs.setBool(kSoundsEnabledKey, on);
    feedback::give(settings::soundSwitchFeedback(on), player());
    m_soundSwitch->setChecked(prefs.soundsEnabled());
}

void SettingsView::changeVoice(bool on)
{
    Preferences &prefs = player().preferences();
    prefs.setBool(kVoiceEnabledKey, on);
    feedback::give(Trigger::settingChanged, player());
    m_voiceSwitch->setChecked(prefs.voiceEnabled());
}

} // namespace tsav
