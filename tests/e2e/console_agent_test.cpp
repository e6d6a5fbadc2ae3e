// The console's screens against the real bundled agent on a temporary home (offscreen):
// what the user does about a detected file (quarantine it now, allow its content, also for
// a name that is not UTF-8), the allow-list in the settings and from tessaly-ctl, and an
// engine the agent reports as not working.

#include "agentlink/agentclient.h"
#include "alerts/soundplayer.h"
#include "app/menubarstatusview.h"
#include "platform/fakes.h"
#include "screens/dashboard.h"
#include "screens/eventsview.h"
#include "screens/historytools.h"
#include "screens/settingsview.h"
#include "screens/threatsview.h"

#include "agentprocess.h"
#include "../widgetsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QTimer>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

using namespace tsav;
using namespace tsav::test;
using namespace std::chrono_literals;

namespace {

const Threat *threatAt(const AgentClient &agent, const QString &path)
{
    for (const Threat &t : agent.threats())
        if (t.path == path)
            return &t;
    return nullptr;
}

int rowOf(const ThreatsView &view, qint64 id)
{
    for (int i = 0; i < view.listModel().rowCount(); ++i)
        if (view.listModel().rowAt(i).id == id)
            return i;
    return -1;
}

class ConsoleAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!agent.available())
            GTEST_SKIP() << "the agent's virtual environment is missing";
        prepare();
        ASSERT_TRUE(agent.start()) << agent.output().toStdString();
        client = std::make_unique<AgentClient>(agent.socketPath());
        ASSERT_TRUE(waitFor([&] {
            QCoro::waitFor(client->refresh());
            return client->connected() && client->metrics();
        }, 60s)) << agent.output().toStdString();
        SoundPlayer::installShared(&player);
    }
    void TearDown() override
    {
        SoundPlayer::installShared(nullptr);
        client.reset();
        EXPECT_TRUE(agent.stop()) << agent.output().toStdString();
    }
    ScreenContext ctx() { return ScreenContext{client.get(), nullptr, &player}; }
    virtual void prepare() {}

    test::AgentProcess agent;
    std::unique_ptr<AgentClient> client;
    RecordingServices services;
    SoundPlayer player{&services.sounds, &services.haptics, &services.preferences};
};

// The agent with 50,000 events in its history before it starts.
class SeededConsoleAgent : public ConsoleAgent {
protected:
    static constexpr int seeded = 50000;
    void prepare() override
    {
        QProcess seed;
        seed.start(QStringLiteral(TSAV_AGENT_PYTHON),
                   {QStringLiteral(TSAV_SEED_HISTORY), QStringLiteral(TSAV_AGENT_RESOURCES), agent.dataDir(),
                    QString::number(seeded)});
        ASSERT_TRUE(seed.waitForFinished(120000));
        ASSERT_EQ(seed.exitCode(), 0) << seed.readAllStandardError().toStdString();
        // No behaviour model fit while exporting: its event would prune the oldest seeded one mid-way.
        agent.setExtraEnvironment(QStringLiteral("TSAV_AGENT_FIRST_FIT"), QStringLiteral("3600"));
    }
};

// Records of an RFC 4180 text: line ends outside quoted fields.
qsizetype csvRecords(const QByteArray &csv)
{
    qsizetype records = 0;
    bool quoted = false;
    for (qsizetype i = 0; i < csv.size(); ++i) {
        if (csv[i] == '"')
            quoted = !quoted;
        else if (!quoted && csv[i] == '\r' && i + 1 < csv.size() && csv[i + 1] == '\n')
            ++records;
    }
    return records;
}

// Watches the export's progress dialog: every value its bar shows, and its largest end.
struct ProgressWatch {
    QList<int> values;
    int maximum = 0;
    QTimer timer;
    explicit ProgressWatch(QWidget *screen)
    {
        timer.setInterval(0);
        QObject::connect(&timer, &QTimer::timeout, [this, screen] {
            if (auto *p = screen->findChild<QProgressDialog *>("export.progress"))
                if (auto *bar = p->findChild<QProgressBar *>(); bar && (values.isEmpty() || values.last() != bar->value())) {
                    values << bar->value();
                    maximum = std::max(maximum, bar->maximum());
                }
        });
        timer.start();
    }
};

} // namespace

TEST_F(SeededConsoleAgent, SearchesAndA50000EventExportFromTheEventsScreen)
{
    EventsView view(ctx());
    view.resize(1100, 800);
    view.show();

    // Searches run on the agent: case-insensitive, Romanian letters included.
    view.searchField()->setText("SEEDED EVENT 49999");
    Q_EMIT view.searchField()->returnPressed();
    ASSERT_TRUE(waitFor([&] {
        return view.listModel().rowCount() == 1 && view.listModel().rowAt(0).action == "seeded event 49999";
    })) << view.listModel().rowCount();
    view.searchField()->setText("fișier șters");
    Q_EMIT view.searchField()->returnPressed();
    ASSERT_TRUE(waitFor([&] { return view.listModel().rowCount() >= 45; })) << view.listModel().rowCount();
    for (const EventRow &e : view.listModel().rows())
        EXPECT_TRUE(e.action.startsWith("Fișier ȘTERS")) << e.action.toStdString();
    view.searchField()->clear();

    // The whole history into a CSV file, page by page, with the bar moving.
    const QString csvPath = agent.home() + "/evenimente.csv";
    {
        ProgressWatch watch(&view);
        QCoro::waitFor(view.exportFlow()->exportTo(csvPath, QString()));
        EXPECT_GE(watch.maximum, seeded);
        EXPECT_GE(watch.values.size(), 3) << "the bar moved page by page";
        EXPECT_TRUE(std::is_sorted(watch.values.begin(), watch.values.end()));
    }
    ASSERT_TRUE(view.noticeText().startsWith("Export încheiat: ")) << view.noticeText().toStdString();
    QFile csvFile(csvPath);
    ASSERT_TRUE(csvFile.open(QIODevice::ReadOnly));
    const QByteArray csv = csvFile.readAll();
    EXPECT_TRUE(csv.startsWith("\xef\xbb\xbf")) << "spreadsheets read it as UTF-8";
    const qsizetype rows = csvRecords(csv) - 1; // the header
    EXPECT_GE(rows, seeded); // every seeded event that is kept, and the agent's own
    EXPECT_TRUE(view.noticeText().contains(" " + QString::number(rows) + " ")) << view.noticeText().toStdString();
    EXPECT_TRUE(csv.contains("caf\\xe9 \\xff.txt")) << "the exact bytes of a name, escaped";
    EXPECT_TRUE(csv.contains("seeded event 49999"));

    // The same as JSON: one array.
    const QString jsonPath = agent.home() + "/evenimente.json";
    QCoro::waitFor(view.exportFlow()->exportTo(jsonPath, QString()));
    QFile jsonFile(jsonPath);
    ASSERT_TRUE(jsonFile.open(QIODevice::ReadOnly));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(jsonFile.readAll(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_GE(doc.array().size(), seeded);
}

TEST_F(ConsoleAgent, AFileIsQuarantinedFromItsRowThenAllowedByContentAndTheListEditedInSettings)
{
    // Until its databases are real, the signature engine says it is degraded, and no screen
    // calls the host protected.
    ASSERT_TRUE(waitFor([&] {
        QCoro::waitFor(client->refresh());
        const auto &engines = client->metrics()->engines;
        return engines.contains("signature") && engines["signature"].state == "degraded"
               && engines["signature"].reason == "no signature database";
    }, 60s)) << agent.output().toStdString();
    DashboardView dashboard(ctx());
    dashboard.resize(1280, 900);
    dashboard.show();
    dashboard.refreshNow();
    EXPECT_EQ(dashboard.stateTitle(), "ATENȚIE");
    EXPECT_EQ(dashboard.stateSubtitle(), "Motorul Signature e degradat: no signature database");
    MenuBarStatusView panel(ctx(), [] {});
    panel.show();
    EXPECT_TRUE(shownTexts(&panel).contains("PROTECȚIE DEGRADATĂ"));

    // With automatic quarantine off, a detection waits for the user.
    QCoro::waitFor(client->setSetting(SettingKey::auto_quarantine, false));
    ASSERT_FALSE(client->setting(SettingKey::auto_quarantine));

    // Two detected files, one named with a byte that is not UTF-8.
    const QString plain = agent.downloads() + "/factura.com";
    const QByteArray oddName = QFile::encodeName(agent.downloads()) + "/\xff" "evil.com";
    agent.writeEicar(QFile::encodeName(plain));
    agent.writeEicar(oddName);
    QCoro::waitFor(client->startScan(QStringLiteral("quick"))); // real-time protection may get there first
    const QString oddShown = agent.downloads() + "/" + QChar::ReplacementCharacter + "evil.com";
    ASSERT_TRUE(waitFor([&] {
        QCoro::waitFor(client->refresh());
        return threatAt(*client, plain) && threatAt(*client, oddShown);
    }, 60s)) << agent.output().toStdString();
    const qint64 plainId = threatAt(*client, plain)->id, oddId = threatAt(*client, oddShown)->id;
    EXPECT_EQ(threatAt(*client, plain)->status, "detected");

    ThreatsView view(ctx());
    view.resize(1200, 900);
    view.show();
    QTest::qWait(50);
    const auto clickAction = [&](qint64 id, int button) {
        const int row = rowOf(view, id);
        ASSERT_GE(row, 0);
        const QList<QRect> rects = view.actionButtonRects(row);
        ASSERT_GT(rects.size(), button);
        QTest::mouseClick(view.listView()->viewport(), Qt::LeftButton, {}, rects[button].center());
    };

    // "Carantină" on both: the real vault takes them, the exact bytes included.
    for (const qint64 id : {plainId, oddId}) {
        clickAction(id, 0);
        ASSERT_TRUE(waitFor([&] { return view.noticeText() == "Fișierul a fost mutat în carantină."; }))
            << view.noticeText().toStdString() << agent.output().toStdString();
        view.findChild<QWidget *>("threats.notice")->hide();
    }
    EXPECT_FALSE(QFile::exists(plain));
    EXPECT_FALSE(test::existsBytes(oddName));
    ASSERT_TRUE(waitFor([&] {
        QCoro::waitFor(client->refresh());
        return threatAt(*client, plain)->status == "quarantined" && threatAt(*client, oddShown)->status == "quarantined";
    }));

    // "Permite" on the file whose name cannot be named exactly: its content only.
    clickAction(oddId, 0);
    QMessageBox *box = shownDialog("threat.confirmAllow");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(buttonTitles(box), (QStringList{"Permite conținutul (SHA-256)", "Anulează"}));
    press(box, "Permite conținutul (SHA-256)");
    ASSERT_TRUE(waitFor([&] { return view.noticeText().startsWith("Adăugat la excepții: "); }))
        << view.noticeText().toStdString();
    QCoro::waitFor(client->refreshAllowList());
    ASSERT_EQ(client->allowList().size(), 1);
    EXPECT_EQ(client->allowList()[0].kind, "sha256");
    EXPECT_EQ(client->allowList()[0].value, "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f");

    // Searching the threats runs on the agent, in names that are not UTF-8 too.
    view.searchField()->setText("EVIL.COM");
    Q_EMIT view.searchField()->returnPressed();
    ASSERT_TRUE(waitFor([&] { return view.listModel().rowCount() == 1 && view.listModel().rowAt(0).id == oddId; }))
        << view.listModel().rowCount();
    view.searchField()->setText("nu-i nicăieri");
    Q_EMIT view.searchField()->returnPressed();
    ASSERT_TRUE(waitFor([&] { return view.listShowsEmptyState(); }));
    view.searchField()->clear();
    EXPECT_EQ(view.listModel().rowCount(), 2);

    // tessaly-ctl sees the same list and adds a folder to it.
    const QString folder = agent.home() + "/proiecte";
    QDir().mkpath(folder);
    EXPECT_EQ(agent.ctl({"allow", "add", "path", folder, "--note", "build"}).first, 0);
    const auto listed = agent.ctl({"--json", "allow", "list"});
    ASSERT_EQ(listed.first, 0);
    const QJsonArray entries = QJsonDocument::fromJson(listed.second.toUtf8()).array();
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0].toObject().value("value").toString(), folder); // newest first
    EXPECT_EQ(entries[0].toObject().value("note").toString(), "build");

    // The settings list both; removing the folder asks first, then it is gone for the agent too.
    SettingsView settings(ctx());
    settings.resize(1000, 900);
    settings.show();
    ASSERT_TRUE(waitFor([&] { return settings.allowRowValues().size() == 2; }));
    EXPECT_EQ(settings.allowRowValues().first(), folder);
    settings.allowRemoveButtons().first()->click();
    press(shownDialog("settings.confirmRemove"), "Elimină");
    ASSERT_TRUE(waitFor([&] { return settings.allowRowValues().size() == 1; }));
    const auto after = agent.ctl({"--json", "allow", "list"});
    EXPECT_EQ(QJsonDocument::fromJson(after.second.toUtf8()).array().size(), 1);
    const auto removed = agent.ctl({"allow", "remove", QString::number(entries[0].toObject().value("id").toInteger())});
    EXPECT_EQ(removed.first, 1) << "the entry is gone already: " << removed.second.toStdString();
}
