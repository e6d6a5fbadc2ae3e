#include "screens/historytools.h"

#include "agentlink/agentclient.h"
#include "agentlink/exportjob.h"
#include "kit/plaintext.h"
#include "kit/typography.h"
#include "screens/screenparts.h"

#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QProgressDialog>
#include <QStandardPaths>

namespace tsav {

// --- SearchField -------------------------------------------------------------------------

SearchField::SearchField(const QString &placeholder, QWidget *parent) : QLineEdit(parent)
{
    setPlaceholderText(placeholder);
    setAccessibleName(placeholder);
    setClearButtonEnabled(true);
    setMaxLength(maxQueryLength);
    setFont(fonts::system(12));
    setStyleSheet(QStringLiteral(
        "QLineEdit { color: white; background: rgba(255,255,255,10); border: 1px solid rgba(255,255,255,31);"
        " border-radius: 8px; padding: 5px 10px; }"
        "QLineEdit:focus { border-color: rgba(56,189,248,160); }"));
    m_timer.setSingleShot(true);
    m_timer.setInterval(std::chrono::milliseconds(300));
    connect(&m_timer, &QTimer::timeout, this, &SearchField::emitNow);
    connect(this, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (text.isEmpty())
            emitNow(); // cleared: everything comes back at once
        else
            m_timer.start();
    });
    // The clear button does not count as an edit.
    connect(this, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (text.isEmpty() && !m_emitted.isEmpty())
            emitNow();
    });
    connect(this, &QLineEdit::returnPressed, this, &SearchField::emitNow);
}

void SearchField::emitNow()
{
    m_timer.stop();
    const QString query = text().trimmed();
    if (query == m_emitted)
        return;
    m_emitted = query;
    Q_EMIT searchChanged(query);
}

// --- SearchRunner ------------------------------------------------------------------------

SearchRunner::SearchRunner(QObject *parent, Search search) : QObject(parent), m_search(std::move(search)) {}

void SearchRunner::run(const QString &query)
{
    m_query = query;
    if (m_running) {
        m_again = true;
        return;
    }
    loop();
}

QCoro::Task<> SearchRunner::loop()
{
    QPointer<SearchRunner> self(this);
    m_running = true;
    do {
        m_again = false;
        co_await m_search(m_query);
        if (!self)
            co_return;
    } while (m_again);
    m_running = false;
}

QString searchFailureText(const AgentError &error)
{
    return QStringLiteral("Căutarea nu a reușit: ")
           + plainText(error.domain == u"tsav.agent" ? error.message : error.description(), 300);
}

QString searchCappedText(qsizetype limit)
{
    return QStringLiteral("Cele mai noi %1 rezultate; exportul le cuprinde pe toate.").arg(limit);
}

// --- ExportFlow --------------------------------------------------------------------------

namespace {

// "50000 de evenimente", "19 evenimente", "101 evenimente".
QString counted(qint64 n, const QString &noun)
{
    const qint64 rest = n % 100;
    const bool de = n >= 20 && (rest == 0 || rest >= 20);
    return QString::number(n) + (de ? QStringLiteral(" de ") : QStringLiteral(" ")) + noun;
}

// The suggested file name, without letters a shell or an old file system trips on.
QString fileStem(const QString &kind)
{
    if (kind == u"threats")
        return QStringLiteral("amenintari");
    if (kind == u"events")
        return QStringLiteral("evenimente");
    return kind;
}

} // namespace

ExportFlow::ExportFlow(AgentClient *agent, QWidget *parent, NoticeBar *notice, QString kind, QString noun)
    : QObject(parent), m_agent(agent), m_parent(parent), m_notice(notice), m_kind(std::move(kind)),
      m_noun(std::move(noun))
{
}

QString ExportFlow::progressText(qint64 rows, qint64 total, const QString &noun)
{
    if (total <= 0)
        return QStringLiteral("Se pregătește exportul…");
    return QStringLiteral("%1 din %2").arg(rows).arg(counted(total, noun));
}

QString ExportFlow::outcomeText(const ExportOutcome &outcome, const QString &noun, const QString &path)
{
    if (outcome.ok)
        return QStringLiteral("Export încheiat: %1 salvate în %2").arg(counted(outcome.rows, noun), plainText(path, 300));
    if (outcome.cancelled)
        return QStringLiteral("Exportul a fost anulat; nu s-a scris niciun fișier.");
    return QStringLiteral("Exportul nu a reușit: %1. Nu s-a scris niciun fișier.").arg(plainText(outcome.error, 300));
}

void ExportFlow::start(const QString &query)
{
    if (m_running || !m_agent)
        return;
    QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (dir.isEmpty() || !QDir(dir).exists())
        dir = QDir::homePath();
    const QString name = fileStem(m_kind) + u'-' + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".csv");
    auto *dialog = new QFileDialog(m_parent ? m_parent->window() : nullptr, QStringLiteral("Exportă ") + m_noun,
                                   QDir(dir).filePath(name));
    dialog->setObjectName(QStringLiteral("export.fileDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilters({QStringLiteral("CSV (*.csv)"), QStringLiteral("JSON (*.json)")});
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Exportă"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString &filter) {
        dialog->setDefaultSuffix(filter.startsWith(u'J') ? QStringLiteral("json") : QStringLiteral("csv"));
    });
    QPointer<ExportFlow> self(this);
    connect(dialog, &QFileDialog::fileSelected, this, [self, query](const QString &path) {
        if (self && !path.isEmpty())
            self->exportTo(path, query);
    });
    dialog->open();
}

QCoro::Task<> ExportFlow::exportTo(QString path, QString query)
{
    QPointer<AgentClient> agent = m_agent;
    if (m_running || !agent)
        co_return;
    QPointer<ExportFlow> self(this);
    m_running = true;
    ExportRequest request;
    request.kind = m_kind;
    request.format = QFileInfo(path).suffix().compare(u"json", Qt::CaseInsensitive) == 0 ? QStringLiteral("json")
                                                                                         : QStringLiteral("csv");
    request.query = query;
    ExportJob job(agent, request, path);

    QPointer<QProgressDialog> progress =
        new QProgressDialog(progressText(0, 0, m_noun), QStringLiteral("Anulează"), 0, 0,
                            m_parent ? m_parent->window() : nullptr);
    progress->setObjectName(QStringLiteral("export.progress"));
    progress->setWindowTitle(QStringLiteral("Exportă ") + m_noun);
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(0);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setAttribute(Qt::WA_DeleteOnClose);
    const QString noun = m_noun;
    connect(&job, &ExportJob::progress, progress, [progress, noun](qint64 rows, qint64 total) {
        // The bar counts in records; a total that grows while exporting moves its end.
        const int max = int(std::min<qint64>(std::max(total, rows), std::numeric_limits<int>::max()));
        progress->setMaximum(std::max(max, 1));
        progress->setValue(int(std::min<qint64>(rows, max)));
        progress->setLabelText(progressText(rows, total, noun));
    });
    connect(progress, &QProgressDialog::canceled, &job, &ExportJob::cancel);
    progress->show();

    const ExportOutcome outcome = co_await job.run();
    if (progress)
        progress->close();
    if (!self)
        co_return;
    m_running = false;
    if (m_notice)
        m_notice->showNotice(outcomeText(outcome, m_noun, path),
                             outcome.ok ? NoticeBar::Tone::success
                                        : outcome.cancelled ? NoticeBar::Tone::info : NoticeBar::Tone::error);
    Q_EMIT finished(outcome.ok);
}

} // namespace tsav
