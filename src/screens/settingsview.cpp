#include "screens/settingsview.h"

#include "agentlink/agentclient.h"
#include "alerts/feedback.h"
#include "alerts/soundplayer.h"
#include "kit/label.h"
#include "kit/plaintext.h"
#include "kit/palette.h"
#include "kit/tspanel.h"
#include "kit/tspillbutton.h"
#include "kit/typography.h"
#include "screens/screenparts.h"
#include "platform/preferences.h"
#include "screens/settingslogic.h"
#include "screens/settingsswitch.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
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
                   const QString &subtitle, QWidget *control, int verticalInset, QWidget *note = nullptr)
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
    column->addWidget(buildAllowList());
    column->addWidget(buildSound());
    column->addWidget(buildSchedule());
    column->addWidget(buildArchitecture());
    column->addStretch(1);
    scroll->setWidget(content);
    content->setAutoFillBackground(false); // setWidget() turned it on; the window paints

    if (m_agent) {
        connect(m_agent, &AgentClient::settingsChanged, this, &SettingsView::syncEngines);
        connect(m_agent, &AgentClient::settingsChanged, this, &SettingsView::syncForward);
        connect(m_agent, &AgentClient::allowListChanged, this, &SettingsView::syncAllowList);
        // Entries added elsewhere (a threat's "Permite", tessaly-ctl) show while the screen is up.
        connect(m_agent, &AgentClient::cycleFinished, this, [this] {
            if (isVisible())
                reloadAllowList();
        });
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
    syncForward();
    syncSchedule();
    syncAllowList();
}

SettingsView::~SettingsView() = default;

void SettingsView::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    reloadAllowList();
}

SoundPlayer &SettingsView::player() const
{
    return m_sound ? *m_sound : SoundPlayer::shared();
}

QWidget *SettingsView::buildEngines()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("settings.engines"));
    panel->contentLayout()->setSpacing(14);
    m_settingsNotice = new NoticeBar;
    m_settingsNotice->setObjectName(QStringLiteral("settings.notice"));
    panel->addWidget(m_settingsNotice);
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
        QWidget *extra = note;
        if (row.key == SettingKey::cloud_telemetry) {
            // Under the telemetry switch: where the events go while it is on.
            auto *notes = new QWidget;
            auto *v = new QVBoxLayout(notes);
            v->setContentsMargins(0, 0, 0, 0);
            v->setSpacing(2);
            m_forwardNote = makeLabel(QString(), fonts::system(11, Weight::Medium), palette::accentBlue);
            m_forwardNote->setObjectName(QStringLiteral("settings.forwardTo"));
            m_forwardNote->setWordWrap(true);
            m_forwardNote->hide();
            v->addWidget(m_forwardNote);
            v->addWidget(note);
            extra = notes;
        }
        panel->addWidget(switchRow(row.title, fonts::system(13, Weight::Semibold),
                                   settings::titleColor(row), row.subtitle, toggle, 4, extra));
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

QWidget *SettingsView::buildAllowList()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("settings.allowlist"));
    panel->contentLayout()->setSpacing(12);

    auto *head = new QHBoxLayout;
    head->setSpacing(12);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(makeLabel(settings::kAllowTitle, fonts::system(13, Weight::Semibold), palette::textPrimary));
    QLabel *sub = makeLabel(settings::kAllowSubtitle, fonts::system(11), palette::textSecondary);
    sub->setWordWrap(true);
    texts->addWidget(sub);
    head->addLayout(texts, 1);
    auto *add = new TSPillButton(QStringLiteral("Adaugă folder…"), QStringLiteral("folder.badge.plus"),
                                 TSPillButton::Kind::ghost, [this] { chooseFolder(); });
    add->setObjectName(QStringLiteral("settings.addFolder"));
    m_addFolder = add;
    head->addWidget(add, 0, Qt::AlignTop);
    panel->contentLayout()->addLayout(head);

    m_allowNotice = new NoticeBar;
    m_allowNotice->setObjectName(QStringLiteral("settings.allowNotice"));
    panel->addWidget(m_allowNotice);

    m_allowEmpty = makeLabel(settings::kAllowEmpty, fonts::system(12), palette::textSecondary);
    m_allowEmpty->setWordWrap(true);
    panel->addWidget(m_allowEmpty);
    m_allowRows = new QWidget;
    auto *rows = new QVBoxLayout(m_allowRows);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    panel->addWidget(m_allowRows);
    m_allowMore = makeLabel(QString(), fonts::system(11), palette::textTertiary);
    m_allowMore->hide();
    panel->addWidget(m_allowMore);
    return panel;
}

void SettingsView::syncForward()
{
    const QString line = m_agent ? settings::forwardLine(m_agent->setting(SettingKey::cloud_telemetry),
                                                         m_agent->forwardTarget())
                                 : QString();
    m_forwardNote->setText(line);
    m_forwardNote->setVisible(!line.isEmpty());
}

QCoro::Task<> SettingsView::reloadAllowList()
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent || m_allowLoading)
        co_return;
    QPointer<SettingsView> self(this);
    m_allowLoading = true;
    co_await agent->refreshAllowList();
    if (self)
        m_allowLoading = false;
}

void SettingsView::syncAllowList()
{
    static const QList<AllowEntry> none;
    const QList<AllowEntry> &all = m_agent ? m_agent->allowList() : none;
    const QList<AllowEntry> shown = all.first(std::min<qsizetype>(all.size(), settings::maxAllowRows));
    const qsizetype hidden = all.size() - shown.size() + (m_agent ? m_agent->allowListOmitted() : 0);
    m_allowMore->setText(moreRowsText(hidden));
    m_allowMore->setVisible(hidden > 0);
    if (m_agent && m_agent->allowListError())
        m_allowNotice->showNotice(QStringLiteral("Lista de excepții nu poate fi citită: ")
                                      + plainText(*m_agent->allowListError(), 200),
                                  NoticeBar::Tone::warning);
    else if (m_allowNotice->tone() == NoticeBar::Tone::warning)
        m_allowNotice->showNotice(QString(), NoticeBar::Tone::info);
    m_allowEmpty->setVisible(all.isEmpty() && !(m_agent && m_agent->allowListError()));
    if (shown == m_allowShown && m_allowRows->layout()->count() == shown.size())
        return;
    m_allowShown = shown;

    QLayout *rows = m_allowRows->layout();
    while (QLayoutItem *item = rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const AllowEntry &e : shown) {
        auto *row = new QWidget;
        auto *h = new QHBoxLayout(row);
        h->setContentsMargins(0, 8, 0, 8);
        h->setSpacing(12);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        texts->addWidget(makeLabel(settings::allowKindLabel(e.kind), fonts::system(10, Weight::Semibold),
                                   palette::accentBlue));
        QLabel *value = makeLabel(plainText(e.value, 300), fonts::mono(11), palette::textPrimary);
        value->setObjectName(QStringLiteral("allow.value"));
        value->setWordWrap(true);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        texts->addWidget(value);
        QLabel *detail = makeLabel(settings::allowDetailLine(e), fonts::system(10), palette::textTertiary);
        detail->setWordWrap(true);
        texts->addWidget(detail);
        h->addLayout(texts, 1);
        auto *remove = new TSPillButton(QStringLiteral("Elimină"), QStringLiteral("xmark"), TSPillButton::Kind::ghost,
                                        [this, e] { askRemove(e); });
        remove->setObjectName(QStringLiteral("allow.remove"));
        remove->setAccessibleName(QStringLiteral("Elimină excepția ") + plainText(e.value, 120));
        h->addWidget(remove, 0, Qt::AlignVCenter);
        rows->addWidget(row);
    }
}

void SettingsView::askRemove(const AllowEntry &entry)
{
    QPointer<SettingsView> self(this);
    askFirst(this, QStringLiteral("settings.confirmRemove"), Question::warning, QStringLiteral("Elimină excepția"),
             QStringLiteral("Elimini excepția? Agentul va semnala din nou ce acoperă."),
             settings::allowKindLabel(entry.kind) + QStringLiteral(": ") + plainText(entry.value, 300),
             {QStringLiteral("Elimină")}, true, [self, entry](int) {
                 if (self)
                     self->removeEntry(entry);
             });
}

QCoro::Task<> SettingsView::removeEntry(AllowEntry entry)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent)
        co_return;
    QPointer<SettingsView> self(this);
    const CommandResult r = co_await agent->removeAllowEntry(entry.id);
    if (!self)
        co_return;
    if (r.ok)
        m_allowNotice->showNotice(QStringLiteral("Excepția a fost eliminată: ") + plainText(entry.value, 300),
                                  NoticeBar::Tone::info);
    else
        m_allowNotice->showNotice(QStringLiteral("Excepția nu a putut fi eliminată: ") + plainText(r.error, 300),
                                  NoticeBar::Tone::error);
}

void SettingsView::chooseFolder()
{
    // The desktop's own folder dialog where there is one; it lets the window run meanwhile.
    auto *dialog = new QFileDialog(window(), QStringLiteral("Alege folderul permis"), QDir::homePath());
    dialog->setObjectName(QStringLiteral("settings.folderDialog"));
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Permite"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    QPointer<SettingsView> self(this);
    connect(dialog, &QFileDialog::fileSelected, this, [self](const QString &path) {
        if (self && !path.isEmpty())
            self->addFolder(path);
    });
    dialog->open();
}

QCoro::Task<> SettingsView::addFolder(QString path)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent)
        co_return;
    // A name whose bytes are not UTF-8 reaches the console with U+FFFD: it cannot be
    // named to the agent exactly, and allowing a neighbour by mistake is worse than nothing.
    if (path.contains(QChar::ReplacementCharacter) || !QDir::isAbsolutePath(path)) {
        m_allowNotice->showNotice(QStringLiteral("Numele acestui folder nu este UTF-8 valid, deci nu poate fi "
                                                 "transmis exact agentului; alege un folder părinte sau permite "
                                                 "fișierele după conținut."),
                                  NoticeBar::Tone::error);
        co_return;
    }
    path = QDir::cleanPath(path);
    QPointer<SettingsView> self(this);
    const CommandResult r = co_await agent->allow(QStringLiteral("path"), path, QStringLiteral("din Setări"));
    if (!self)
        co_return;
    if (!r.ok) {
        m_allowNotice->showNotice(QStringLiteral("Folderul nu a putut fi adăugat: ") + plainText(r.error, 300),
                                  NoticeBar::Tone::error);
        co_return;
    }
    QString text = QStringLiteral("Folderul ") + plainText(path, 300) + QStringLiteral(" a fost adăugat la excepții.");
    const qint64 resolved = r.data.value(QStringLiteral("resolved")).toLongLong();
    if (resolved > 0)
        text += QStringLiteral(" Amenințări deschise închise: %1.").arg(resolved);
    m_allowNotice->showNotice(text, NoticeBar::Tone::success);
}

QString SettingsView::forwardNote() const { return m_forwardNote->isHidden() ? QString() : m_forwardNote->text(); }

QStringList SettingsView::allowRowValues() const
{
    QStringList out;
    for (QLabel *l : m_allowRows->findChildren<QLabel *>(QStringLiteral("allow.value")))
        out << l->text();
    return out;
}

QString SettingsView::allowMoreText() const { return m_allowMore->isHidden() ? QString() : m_allowMore->text(); }

QString SettingsView::allowNoticeText() const
{
    return m_allowNotice->isHidden() ? QString() : m_allowNotice->text();
}

QList<QAbstractButton *> SettingsView::allowRemoveButtons() const
{
    return m_allowRows->findChildren<QAbstractButton *>(QStringLiteral("allow.remove"));
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
    const CommandResult result = co_await agent->setSetting(settings::engineRows()[size_t(row)].key, value);
    if (!self)
        co_return;
    --m_enginePending[size_t(row)];
    syncEngine(row);
    showSettingResult(result);
}

void SettingsView::showSettingResult(const CommandResult &result)
{
    if (result.ok)
        m_settingsNotice->showNotice(QString(), NoticeBar::Tone::info);
    else
        m_settingsNotice->showNotice(QStringLiteral("Setarea nu a fost salvată: ") + plainText(result.error, 300),
                                     NoticeBar::Tone::error);
}

QString SettingsView::settingsNoticeText() const
{
    return m_settingsNotice->isHidden() ? QString() : m_settingsNotice->text();
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
    const CommandResult result = co_await agent->setScheduledScanHours(hours);
    if (!self)
        co_return;
    if (--m_schedulePending == 0)
        m_scheduleAwaitsCycle = true;
    showSettingResult(result);
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
