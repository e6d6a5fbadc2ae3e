#pragma once
// SettingsView: the engine switches, the scheduled-scan interval, the console's sound and
// voice preferences with their test buttons, and the architecture note.
//
// Engine switches and the picker show what the client holds. A change gives its
// feedback, sends the command as a task tied to this screen, and once the command has
// run (or failed) the control is set again from the client: a refused or failed command
// therefore shows the old value. A switch whose effect the agent reports it cannot apply
// says so under its subtitle, with the agent's reason; the cloud-telemetry row names where
// events go while it is on. The sound and voice switches write the preferences at once.
//
// "Excepții" lists the allow-list (read when the screen is shown, and after each cycle while
// it is), each entry with a button that removes it after a question, and adds a folder
// chosen in the desktop's folder dialog.

#include "agentlink/records.h"
#include "screens/screencontext.h"

#include <QCoroTask>
#include <QPointer>
#include <QWidget>

#include <array>

class QAbstractButton;
class QComboBox;
class QLabel;

namespace tsav {

class AgentClient;
struct CommandResult;
class NoticeBar;
class SoundPlayer;

class SettingsView : public QWidget {
    Q_OBJECT
public:
    explicit SettingsView(const ScreenContext &context, QWidget *parent = nullptr);
    ~SettingsView() override;

    // The controls, for the shell's focus handling and for tests. Engine switches are in
    // screen order.
    QAbstractButton *engineSwitch(int row) const { return m_engineSwitches.at(size_t(row)); }
    // The unavailable line under an engine switch ("" when hidden).
    QString engineNote(int row) const;
    QComboBox *schedulePicker() const { return m_schedule; }
    // The line under the cloud-telemetry switch naming where events go ("" when hidden).
    QString forwardNote() const;
    // The allow-list panel: rows as shown (value texts), "… și încă N", the notice, the
    // remove buttons and the add button.
    QStringList allowRowValues() const;
    QString allowMoreText() const;
    QString allowNoticeText() const;
    // What the agent said when it did not save a setting; empty once one is saved.
    QString settingsNoticeText() const;
    QList<QAbstractButton *> allowRemoveButtons() const;
    QAbstractButton *addFolderButton() const { return m_addFolder; }
    QAbstractButton *soundSwitch() const { return m_soundSwitch; }
    QAbstractButton *voiceSwitch() const { return m_voiceSwitch; }

protected:
    void showEvent(QShowEvent *e) override;

private:
    QWidget *buildEngines();
    QWidget *buildSound();
    QWidget *buildSchedule();
    QWidget *buildAllowList();
    void syncAllowList();
    void syncForward();
    QCoro::Task<> reloadAllowList();
    void askRemove(const AllowEntry &entry);
    QCoro::Task<> removeEntry(AllowEntry entry);
    void chooseFolder();
    QCoro::Task<> addFolder(QString path);
    QWidget *buildArchitecture();

    void syncEngines();
    void syncEngine(int row);
    void syncSchedule();

    QCoro::Task<> changeEngine(int row, bool value);
    QCoro::Task<> changeSchedule(qint64 hours);
    void showSettingResult(const CommandResult &result);
    void changeSounds(bool on);
    void changeVoice(bool on);

    SoundPlayer &player() const;

    QPointer<AgentClient> m_agent;
    SoundPlayer *m_sound;
    std::array<QAbstractButton *, 7> m_engineSwitches{};
    std::array<QLabel *, 7> m_engineNotes{}; // why the agent cannot apply a switch
    std::array<int, 7> m_enginePending{}; // commands in flight per row
    QComboBox *m_schedule = nullptr;
    int m_schedulePending = 0;       // commands in flight
    bool m_scheduleAwaitsCycle = false; // a command finished; the next cycle decides
    QLabel *m_forwardNote = nullptr;
    NoticeBar *m_allowNotice = nullptr;
    NoticeBar *m_settingsNotice = nullptr;
    QWidget *m_allowRows = nullptr;
    QLabel *m_allowEmpty = nullptr;
    QLabel *m_allowMore = nullptr;
    QAbstractButton *m_addFolder = nullptr;
    QList<AllowEntry> m_allowShown;
    bool m_allowLoading = false;
    QAbstractButton *m_soundSwitch = nullptr;
    QAbstractButton *m_voiceSwitch = nullptr;
};

} // namespace tsav
