#include "screens/threatactions.h"

#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/typography.h"
#include "screens/screenparts.h"
#include "screens/threatrow.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>

namespace tsav {

namespace threatactions {

namespace {

constexpr qreal kPadX = 10, kGap = 6;

QFont pillFont() { return fonts::system(10, fonts::Weight::Semibold); }

QColor color(Action a)
{
    switch (a) {
    case Action::quarantine: return palette::accentAmber;
    case Action::kill: return palette::accentRed;
    case Action::allow: break;
    }
    return palette::accentBlue;
}

bool isSha256(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    return hex.match(text).hasMatch();
}

// A path the agent can be told exactly: absolute, and not a name shown with U+FFFD for
// bytes that are not UTF-8.
bool exactPath(const QString &path)
{
    return path.startsWith(u'/') && !path.contains(QChar::ReplacementCharacter);
}

} // namespace

bool isProcessThreat(const Threat &t) { return t.kind == u"behavior" || t.kind == u"network"; }

bool isFileThreat(const Threat &t) { return !isProcessThreat(t) && t.path.has_value(); }

QList<Action> available(const Threat &t)
{
    const bool active = t.status == u"detected";
    if (isFileThreat(t)) {
        if (active)
            return {Action::quarantine, Action::allow};
        if (t.status == u"quarantined")
            return {Action::allow};
        return {};
    }
    if (isProcessThreat(t) && active) {
        QList<Action> actions;
        if (t.pid)
            actions << Action::kill;
        if (t.pid || t.path)
            actions << Action::allow;
        return actions;
    }
    return {};
}

QString label(Action a)
{
    switch (a) {
    case Action::quarantine: return QStringLiteral("Carantină");
    case Action::kill: return QStringLiteral("Oprește procesul");
    case Action::allow: break;
    }
    return QStringLiteral("Permite");
}

QList<AllowChoice> allowChoices(const Threat &t, const QList<QuarantineEntry> &quarantine,
                                const QList<ProcessRow> &processes)
{
    QList<AllowChoice> choices;
    if (isProcessThreat(t)) {
        QString exe = t.path.value_or(QString());
        if (!exactPath(exe) && t.pid) {
            exe.clear();
            for (const ProcessRow &p : processes)
                if (p.pid == *t.pid) {
                    exe = p.exe;
                    break;
                }
        }
        if (exactPath(exe))
            choices << AllowChoice{QStringLiteral("process"), exe, QStringLiteral("Permite programul")};
        return choices;
    }
    if (!t.path)
        return choices;
    QString sha;
    for (const QuarantineEntry &q : quarantine) // newest first
        if (q.original_path == *t.path && isSha256(q.sha256)) {
            sha = q.sha256.toLower();
            break;
        }
    if (sha.isEmpty() && t.signature && isSha256(*t.signature))
        sha = t.signature->toLower();
    if (!sha.isEmpty())
        choices << AllowChoice{QStringLiteral("sha256"), sha, QStringLiteral("Permite conținutul (SHA-256)")};
    if (exactPath(*t.path))
        choices << AllowChoice{QStringLiteral("path"), *t.path, QStringLiteral("Permite calea")};
    return choices;
}

QList<QRectF> pillRects(const QList<Action> &actions, const QPointF &origin)
{
    const QFontMetricsF fm(pillFont());
    QList<QRectF> rects;
    qreal x = origin.x();
    for (Action a : actions) {
        const qreal w = std::ceil(fm.horizontalAdvance(label(a)) + 2 * kPadX);
        rects << QRectF(x, origin.y(), w, pillHeight);
        x += w + kGap;
    }
    return rects;
}

qreal pillsWidth(const QList<Action> &actions)
{
    const QList<QRectF> rects = pillRects(actions, {});
    return rects.isEmpty() ? 0 : rects.last().right();
}

void paintPills(QPainter &p, const QList<Action> &actions, const QList<QRectF> &rects)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    for (qsizetype i = 0; i < actions.size() && i < rects.size(); ++i) {
        const QColor c = color(actions[i]);
        const QRectF r = rects[i].adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath capsule;
        capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
        p.fillPath(capsule, palette::withOpacity(c, 0.14));
        p.setPen(QPen(palette::withOpacity(c, 0.55), 1));
        p.drawPath(capsule);
        drawText(p, rects[i], label(actions[i]), pillFont(), c, Qt::AlignCenter, Qt::ElideNone);
    }
    p.restore();
}

} // namespace threatactions

using namespace threatactions;

namespace {

QString processText(const Threat &t)
{
    return plainText(t.process_name.value_or(QStringLiteral("?")), 80) + QStringLiteral(" (PID ")
           + QString::number(t.pid.value_or(0)) + u')';
}

QString failure(const QString &what, const CommandResult &r) { return what + plainText(r.error, 300); }

} // namespace

ThreatActionRunner::ThreatActionRunner(AgentClient *agent, QWidget *dialogParent, Report report)
    : QObject(dialogParent), m_agent(agent), m_parent(dialogParent), m_report(std::move(report))
{
}

void ThreatActionRunner::run(Action action, const Threat &t)
{
    if (!m_agent)
        return;
    switch (action) {
    case Action::quarantine: quarantine(t.id); return; // the vault gives it back: no question
    case Action::kill: confirmKill(t); return;
    case Action::allow: chooseAllow(t); return;
    }
}

void ThreatActionRunner::confirmKill(const Threat &t)
{
    QPointer<ThreatActionRunner> self(this);
    askFirst(m_parent, QStringLiteral("threat.confirmKill"), Question::warning, QStringLiteral("Oprește procesul"),
        QStringLiteral("Oprești procesul ") + processText(t) + u'?',
        QStringLiteral("Procesul se închide imediat; ce avea nesalvat se pierde."),
        {QStringLiteral("Oprește procesul")}, true, [self, t](int) {
            if (self)
                self->kill(t);
        });
}

void ThreatActionRunner::chooseAllow(const Threat &t)
{
    const QList<AllowChoice> choices = allowChoices(t, m_agent->quarantine(), m_agent->processes());
    if (choices.isEmpty()) {
        m_report(isProcessThreat(t)
                     ? QStringLiteral("Programul acestui proces nu mai este cunoscut: nu are ce fi permis.")
                     : QStringLiteral("Calea acestui fișier nu poate fi transmisă exact agentului (nu este UTF-8) "
                                      "și conținutul lui nu este cunoscut: nu are ce fi permis."),
                 false);
        return;
    }
    QStringList lines, buttons;
    for (const AllowChoice &c : choices) {
        buttons << c.button;
        if (c.kind == u"sha256")
            lines << QStringLiteral("Conținutul (SHA-256): ") + c.value;
        else if (c.kind == u"path")
            lines << QStringLiteral("Calea: ") + plainText(c.value, 300)
                         + QStringLiteral(" (fișierul, sau tot ce e sub acest folder)");
        else
            lines << QStringLiteral("Programul: ") + plainText(c.value, 300);
    }
    if (t.status == u"quarantined")
        lines << QStringLiteral("Fișierul rămâne în carantină până îl restaurezi.");
    const QString question = isProcessThreat(t)
                                 ? QStringLiteral("Permiți acest program? Agentul nu îl va mai semnala.")
                                 : QStringLiteral("Permiți acest fișier? Agentul nu îl va mai semnala.");
    QPointer<ThreatActionRunner> self(this);
    askFirst(m_parent, QStringLiteral("threat.confirmAllow"), Question::question, QStringLiteral("Permite"), question,
        lines.join(u'\n'), buttons, false, [self, t, choices](int i) {
            if (self)
                self->allow(t, choices[i]);
        });
}

QCoro::Task<> ThreatActionRunner::quarantine(qint64 id)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent)
        co_return;
    QPointer<ThreatActionRunner> self(this);
    const CommandResult r = co_await agent->quarantineThreat(id);
    if (self)
        m_report(quarantineNotice(r), r.ok);
}

QCoro::Task<> ThreatActionRunner::kill(Threat t)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent)
        co_return;
    QPointer<ThreatActionRunner> self(this);
    const CommandResult r = co_await agent->killThreat(t.id);
    if (self)
        m_report(killNotice(t, r), r.ok);
}

QCoro::Task<> ThreatActionRunner::allow(Threat t, AllowChoice choice)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent)
        co_return;
    QPointer<ThreatActionRunner> self(this);
    const QString note = (QStringLiteral("Amenințarea #") + QString::number(t.id) + QStringLiteral(": ")
                          + threatRowTitle(t)).left(200);
    const CommandResult r = co_await agent->allow(choice.kind, choice.value, note);
    if (self)
        m_report(allowNotice(t, choice, r), r.ok);
}

QString ThreatActionRunner::quarantineNotice(const CommandResult &r)
{
    if (!r.ok)
        return failure(QStringLiteral("Carantina nu a reușit: "), r);
    return QStringLiteral("Fișierul a fost mutat în carantină.");
}

QString ThreatActionRunner::killNotice(const Threat &t, const CommandResult &r)
{
    if (!r.ok)
        return failure(QStringLiteral("Procesul nu a putut fi oprit: "), r);
    return QStringLiteral("Procesul ") + processText(t) + QStringLiteral(" a fost oprit.");
}

QString ThreatActionRunner::allowNotice(const Threat &t, const AllowChoice &choice, const CommandResult &r)
{
    if (!r.ok)
        return failure(QStringLiteral("Excepția nu a putut fi adăugată: "), r);
    QString text = QStringLiteral("Adăugat la excepții: ") + plainText(choice.value, 300) + u'.';
    const qint64 resolved = r.data.value(QStringLiteral("resolved")).toLongLong();
    if (resolved == 1)
        text += QStringLiteral(" O amenințare deschisă a fost închisă.");
    else if (resolved > 1)
        text += QStringLiteral(" %1 amenințări deschise au fost închise.").arg(resolved);
    if (t.status == u"quarantined")
        text += QStringLiteral(" Fișierul rămâne în carantină; îl poți restaura din ecranul Carantină.");
    return text;
}

} // namespace tsav
