#pragma once
// QuarantineView: the files the agent holds in its vault, each with "Restore" and
// "Șterge". "Restore" sends its command at once and then says where the file went (or
// why it could not); "Șterge" asks first, since the file is gone for good. A row leaves
// when the next poll no longer reports the entry. Rows are widgets (each carries two buttons); they are kept
// per entry id and rebuilt only when an entry changes.

#include "agentlink/records.h"
#include "screens/screencontext.h"

#include <QCoroTask>

#include <QHash>
#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QVBoxLayout;

namespace tsav {

class AgentClient;
class NoticeBar;
class TSPillButton;
struct CommandResult;

// The question before a file is deleted for good.
inline const QString kDeleteQuestion = QStringLiteral("Ștergi definitiv fișierul? Nu poate fi recuperat.");

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
    // The line that tells how the last restore or delete went ("" when none).
    QString noticeText() const;

    // What the notice says after a command.
    static QString restoreNotice(const CommandResult &result);
    static QString deleteNotice(const CommandResult &result);

private:
    void refreshFromClient();
    QCoro::Task<> restore(qint64 id);
    void remove(qint64 id);
    QCoro::Task<> eraseConfirmed(qint64 id);

    QPointer<AgentClient> m_agent;
    QList<QuarantineEntry> m_entries;
    QLabel *m_header = nullptr;
    NoticeBar *m_notice = nullptr;
    QWidget *m_empty = nullptr;
    QWidget *m_scroll = nullptr;
    QVBoxLayout *m_rows = nullptr;
    QList<QuarantineRow *> m_rowWidgets;
};

} // namespace tsav
