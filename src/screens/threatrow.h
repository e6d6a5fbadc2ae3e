#pragma once
// ThreatRow: the compact threat row of the dashboard and the scan results.
//
// A severity bar (4 x 36, radius 4, severityColor), a column of title (signature, else
// description, else "Threat"; 12 semibold) and subtitle (path, else process name, else
// "—"; 10, one line, elided), a flexible space, and the status tag as received (10
// semibold on severityColor at 18 %, in a capsule). With an action handler, the actions
// the threat offers (threatactions.h) sit as pills before the tag.

#include "agentlink/records.h"
#include "screens/threatactions.h"

#include <QWidget>

#include <functional>

namespace tsav {

QString threatRowTitle(const Threat &t);
QString threatRowSubtitle(const Threat &t);

class ThreatRow : public QWidget {
    Q_OBJECT
public:
    explicit ThreatRow(const Threat &t, QWidget *parent = nullptr);

    void setThreat(const Threat &t);
    const Threat &threat() const { return m_t; }
    // The texts as shown (agent text made safe for display).
    QString title() const;
    QString subtitle() const;
    QString status() const;
    QColor accent() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    using ActionHandler = std::function<void(threatactions::Action, const Threat &)>;
    void setActionHandler(ActionHandler handler);
    // The pills shown (empty without a handler or when the threat offers none).
    QList<QRectF> actionRects() const;

protected:
    void paintEvent(QPaintEvent *) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;

private:
    QRectF tagRect() const;
    QList<threatactions::Action> actions() const;
    Threat m_t;
    ActionHandler m_handler;
};

} // namespace tsav
