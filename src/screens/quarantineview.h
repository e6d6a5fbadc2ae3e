#pragma once
// QuarantineView: the files the agent holds in its vault, each with "Restore" and
// "Șterge". A button sends its command at once; the row leaves when the next poll no
// longer reports the entry. Rows are widgets (each carries two buttons); they are kept
// per entry id and rebuilt only when an entry changes.

#include "agentlink/records.h"
#include "screens/screencontext.h"

#include <QHash>
#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QVBoxLayout;

namespace tsav {

class AgentClient;
class TSPillButton;

// The last path component of `path` read as a file path ("" for "" and for "a/").
QString quarantineFileName(const QString &path);
// "Motiv: %@  ·  %@" with the reason and the size (KB, MB or GB).
QString quarantineDetailLine(const QuarantineEntry &q);

class QuarantineRow : public QWidget {
    Q_OBJECT
public:
    QuarantineRow(const QuarantineEntry &q, std::function<void(qint64)> restore,
                  std::function<void(qint64)> remove, QWidget *parent = nullptr);
    const QuarantineEntry &entry() const { return m_q; }
    TSPillButton *restoreButton() const { return m_restore; }
    TSPillButton *deleteButton() const { return m_delete; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QuarantineEntry m_q;
    TSPillButton *m_restore = nullptr;
    TSPillButton *m_delete = nullptr;
};

class QuarantineView : public QWidget {
    Q_OBJECT
public:
    explicit QuarantineView(const ScreenContext &ctx, QWidget *parent = nullptr);

    // What a poll does.
    void setEntries(const QList<QuarantineEntry> &entries);

    // For tests and tools.
    QList<QuarantineRow *> rows() const;
    QString headerText() const;
    bool showsEmptyState() const;

private:
    void refreshFromClient();
    void restore(qint64 id);
    void remove(qint64 id);

    QPointer<AgentClient> m_agent;
    QList<QuarantineEntry> m_entries;
    QLabel *m_header = nullptr;
    QWidget *m_empty = nullptr;
    QWidget *m_scroll = nullptr;
    QVBoxLayout *m_rows = nullptr;
    QList<QuarantineRow *> m_rowWidgets;
};

} // namespace tsav
