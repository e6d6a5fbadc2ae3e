#pragma once
// What a user can do about one threat, wherever a threat row is shown (the threats list,
// the dashboard's recent threats, a scan's results):
//  - an active file threat: "Carantină" (move the file into the vault now) and "Permite";
//  - a quarantined file threat: "Permite" (its content, so that a restored copy stays);
//  - an active process threat: "Oprește procesul" and "Permite" (its executable).
// The actions are drawn as small pills inside painted rows; ThreatActionRunner asks for
// confirmation where an action cannot be undone or lowers the guard, sends the command
// (the client then runs a cycle, so the row changes) and says how it went.

#include "agentlink/agentclient.h"
#include "agentlink/records.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QString>

#include <functional>

class QPainter;
class QWidget;

namespace tsav {

namespace threatactions {

enum class Action { quarantine, allow, kill };

// behavior and network threats are about a process; others with a path about a file.
bool isProcessThreat(const Threat &t);
bool isFileThreat(const Threat &t);
// The actions a row offers, in the order they are drawn.
QList<Action> available(const Threat &t);
QString label(Action a);

// One thing "Permite" can put on the allow-list.
struct AllowChoice {
    QString kind;   // "sha256", "path" or "process"
    QString value;
    QString button; // the dialog button that chooses it
    bool operator==(const AllowChoice &) const = default;
};
// For a file: its content when a SHA-256 is known (the newest quarantine entry of its path,
// or a signature that is itself a SHA-256), then its path. For a process: its executable
// (the threat's path, else the live process's). A path that is not valid UTF-8 (shown with
// U+FFFD) cannot be named exactly to the agent and is left out.
QList<AllowChoice> allowChoices(const Threat &t, const QList<QuarantineEntry> &quarantine,
                                const QList<ProcessRow> &processes);

// The pills, laid out from `origin` (their top left) to the right: one rectangle per
// action of `actions`, 22 points high.
inline constexpr qreal pillHeight = 22;
QList<QRectF> pillRects(const QList<Action> &actions, const QPointF &origin);
qreal pillsWidth(const QList<Action> &actions);
void paintPills(QPainter &p, const QList<Action> &actions, const QList<QRectF> &rects);

} // namespace threatactions

// Runs the actions for a screen: dialogs belong to `dialogParent`'s window (and leave it
// running meanwhile); `report` receives the outcome as a plain sentence and whether it
// went well. Safe when the screen goes away while a dialog or a command is pending.
class ThreatActionRunner : public QObject {
    Q_OBJECT
public:
    using Report = std::function<void(const QString &text, bool ok)>;
    ThreatActionRunner(AgentClient *agent, QWidget *dialogParent, Report report);

    void run(threatactions::Action action, const Threat &t);

    // Texts of the outcomes (for tests).
    static QString quarantineNotice(const CommandResult &r);
    static QString killNotice(const Threat &t, const CommandResult &r);
    static QString allowNotice(const Threat &t, const threatactions::AllowChoice &choice, const CommandResult &r);

private:
    void confirmKill(const Threat &t);
    void chooseAllow(const Threat &t);
    QCoro::Task<> quarantine(qint64 id);
    QCoro::Task<> kill(Threat t);
    QCoro::Task<> allow(Threat t, threatactions::AllowChoice choice);

    QPointer<AgentClient> m_agent;
    QPointer<QWidget> m_parent;
    Report m_report;
};

} // namespace tsav
