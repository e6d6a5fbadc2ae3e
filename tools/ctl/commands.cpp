#include "commands.h"

#include "agentlink/decode.h"
#include "agentlink/exportjob.h"
#include "table.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QIODevice>
#include <QDir>
#include <QRegularExpression>
#include <QPointer>
#include <QRegularExpression>

#include <QCoroSignal>

namespace tsav::ctl {

namespace {

QString usage()
{
    return QStringLiteral(
        "usage: tessaly-ctl [--json] [--socket PATH] COMMAND\n"
        "\n"
        "commands:\n"
        "  status                       connection and summary counts\n"
        "  watch [--cycles N]           poll every 2 s, one line per cycle\n"
        "  threats [FILTERS]            recent threats (newest 200 that match)\n"
        "  quarantine                   files in quarantine\n"
        "  quarantine restore ID        restore a quarantined file\n"
        "  quarantine delete ID         delete a quarantined file\n"
        "  processes                    processes by risk score\n"
        "  network                      network connections\n"
        "  events [FILTERS]             recent events (newest 200 that match)\n"
        "  scan [status]                the current or last scan\n"
        "  scan quick | full | stop     start or stop a scan\n"
        "  metrics                      live metrics and engines\n"
        "  settings                     engine switches and scan schedule\n"
        "  settings set KEY VALUE       KEY: an engine switch (true/false) or\n"
        "                               scheduled_scan_hours (whole hours)\n"
        "  audit                        run the host security audit\n"
        "  allow [list]                 the allow-list: what the agent no longer reports\n"
        "  allow add KIND VALUE [--note TEXT]\n"
        "                               KIND: path (a file, or a folder and all under it),\n"
        "                               sha256 (a file's content) or process (an executable)\n"
        "  allow remove ID              remove an allow-list entry\n"
        "  export KIND [--format csv|json] [FILTERS]\n"
        "                               the whole history of KIND (threats, events,\n"
        "                               quarantine or audit) to standard output,\n"
        "                               oldest first; CSV by default\n"
        "\n"
        "FILTERS: --since TIME, --until TIME (from since up to, not including,\n"
        "until; TIME is 2026-01-01, 2026-01-01T08:30 or epoch seconds, local time\n"
        "unless a zone is given) and --query TEXT (case-insensitive, any text field).\n"
        "\n"
        "--json prints the agent's data as JSON. Exit status: 0 done, 1 agent\n"
        "unreachable or bad reply (an export may have written part of its output),\n"
        "2 usage error.\n");
}

QString opt(const std::optional<QString> &s) { return s.value_or(QStringLiteral("-")); }
QString opt(const std::optional<qint64> &v) { return v ? QString::number(*v) : QStringLiteral("-"); }
QString num(double v, int decimals = 1) { return QString::number(v, 'f', decimals); }

// A reply that failed, or data that did not decode: the error on stderr, status 1.
int fail(QTextStream &err, const AgentError &error)
{
    err << "tessaly-ctl: " << error.description() << "\n";
    err.flush();
    return Failure;
}

// After a client cycle that failed: the recorded error text, status 1.
int unreachable(QTextStream &err, const AgentClient &client)
{
    err << "tessaly-ctl: " << client.lastError().value_or(QStringLiteral("agent unreachable")) << "\n";
    err.flush();
    return Failure;
}

template <typename T>
QCoro::Task<Expected<T>> fetchRecord(AgentClient &client, QString op)
{
    auto response = co_await client.call(op);
    if (!response)
        co_return response.error();
    co_return decodeRecord<T>(response.value());
}

template <typename T>
QCoro::Task<Expected<QList<T>>> fetchList(AgentClient &client, QString op, QVariantMap payload)
{
    auto response = co_await client.call(op, payload);
    if (!response)
        co_return response.error();
    co_return decodeList<T>(response.value());
}

QVariantMap limit200()
{
    QVariantMap m;
    m.insert(QStringLiteral("limit"), 200);
    return m;
}

QString summaryText(const Summary &s)
{
    return QStringLiteral("threats %1 active / %2 total, %3 in the last 24 h; quarantined %4; events in 24 h %5")
        .arg(s.threats_active)
        .arg(s.threats_total)
        .arg(s.threats_last_24h)
        .arg(s.quarantined)
        .arg(s.events_last_24h);
}

QString scanText(const ScanStatus &s)
{
    const QString state = s.running ? QStringLiteral("running") : printable(s.outcome.value_or(QStringLiteral("finished")));
    QString text = QStringLiteral("scan #%1 (%2) %3, %4 files, started %5")
                       .arg(s.id)
                       .arg(printable(s.kind), state)
                       .arg(s.scanned)
                       .arg(formatTime(s.started));
    if (s.finished)
        text += QStringLiteral(", finished ") + formatTime(*s.finished);
    if (s.error && !s.error->isEmpty())
        text += QStringLiteral("\n  error: ") + printable(*s.error);
    if (s.skipped_foreign.value_or(0) > 0 || s.unreadable.value_or(0) > 0)
        text += QStringLiteral("\n  %1 files of other users left alone, %2 could not be read")
                    .arg(s.skipped_foreign.value_or(0))
                    .arg(s.unreadable.value_or(0));
    if (s.running && !s.current.isEmpty())
        text += QStringLiteral("\n  now: ") + printable(s.current);
    return text;
}

QString settingsTable(const SettingsReply &settings)
{
    Table table({QStringLiteral("SETTING"), QStringLiteral("VALUE")});
    QStringList seen;
    for (SettingKey key : allSettingKeys) {
        const QString name = wireName(key);
        seen << name;
        table.addRow({name, settings.switches.contains(name)
                                ? (settings.switches.value(name) ? QStringLiteral("on") : QStringLiteral("off"))
                                : QStringLiteral("-")});
    }
    QStringList others = settings.switches.keys();
    others.sort();
    for (const QString &name : std::as_const(others))
        if (!seen.contains(name))
            table.addRow({name, settings.switches.value(name) ? QStringLiteral("on") : QStringLiteral("off")});
    table.addRow({QStringLiteral("scheduled_scan_hours"), opt(settings.scheduledScanHours)});
    return table.render();
}

std::optional<bool> parseBool(const QString &text)
{
    const QString t = text.toLower();
    if (t == u"true" || t == u"on" || t == u"1" || t == u"yes")
        return true;
    if (t == u"false" || t == u"off" || t == u"0" || t == u"no")
        return false;
    return std::nullopt;
}

QCoro::Task<int> printJson(AgentClient &client, QString op, QVariantMap payload, QTextStream &out, QTextStream &err)
{
    auto response = co_await client.call(op, payload);
    if (!response)
        co_return fail(err, response.error());
    const QByteArray data = response.value().dataJson();
    out << (data.isEmpty() ? QByteArrayLiteral("null") : data) << "\n";
    co_return Success;
}

int failText(QTextStream &err, const QString &why)
{
    err << "tessaly-ctl: " << why << "\n";
    err.flush();
    return Failure;
}

// Adds --since, --until and --query to a request; an error text for a bad time.
std::optional<QString> addFilters(const Options &options, QVariantMap &payload)
{
    for (const auto &[key, value] : {std::pair{"since", options.since}, std::pair{"until", options.until}}) {
        if (!value)
            continue;
        const auto seconds = parseTime(*value);
        if (!seconds)
            return QStringLiteral("--%1 takes a date, a date and time, or epoch seconds: %2").arg(QLatin1String(key), *value);
        payload.insert(QLatin1String(key), *seconds);
    }
    if (options.query)
        payload.insert(QStringLiteral("query"), *options.query);
    return std::nullopt;
}

const QStringList exportKinds{QStringLiteral("threats"), QStringLiteral("events"), QStringLiteral("quarantine"),
                              QStringLiteral("audit")};

// Streams every page of an export to out, as ExportPager accepts them.
QCoro::Task<int> exportHistory(AgentClient &client, QVariantMap request, QTextStream &out, QTextStream &err)
{
    ExportPager pager(request.value(QStringLiteral("kind")).toString(), request.value(QStringLiteral("format")).toString());
    while (!pager.finished()) {
        request.insert(QStringLiteral("cursor"), pager.cursor());
        auto response = co_await client.call(QStringLiteral("export"), request);
        if (!response)
            co_return fail(err, response.error());
        if (response.value().raw.size() > maxExportPageBytes)
            co_return failText(err, QStringLiteral("export page of %1 bytes refused (pages are at most %2)")
                                        .arg(response.value().raw.size())
                                        .arg(maxExportPageBytes));
        auto decoded = decodeRecord<ExportPage>(response.value()); // a refusal comes back in the agent's words
        if (!decoded)
            co_return fail(err, decoded.error());
        if (const auto why = pager.accept(decoded.value()))
            co_return failText(err, printable(*why));
        // The bytes as they came: a text stream would drop the byte-order mark of a CSV.
        out.flush();
        if (QIODevice *device = out.device())
            device->write(decoded.value().chunk);
        else
            out << decoded.value().chunk;
    }
    co_return Success;
}

const QStringList allowKinds{QStringLiteral("path"), QStringLiteral("sha256"), QStringLiteral("process")};

// The value of an allow-list entry as the agent wants it, or why it cannot be one. Paths
// are made absolute against the working directory; a name whose bytes are not UTF-8 has
// no exact form on the wire (it would arrive with U+FFFD), so its content is the way.
std::optional<QString> allowValue(const QString &kind, const QString &value, QString *why)
{
    if (kind == u"sha256") {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
        if (!hex.match(value).hasMatch()) {
            *why = QStringLiteral("sha256 takes 64 hexadecimal digits: ") + printable(value);
            return std::nullopt;
        }
        return value.toLower();
    }
    if (value.isEmpty()) {
        *why = kind + QStringLiteral(" takes a path");
        return std::nullopt;
    }
    if (value.contains(QChar::ReplacementCharacter)) {
        *why = QStringLiteral("the path is not valid UTF-8, so the agent cannot be told it exactly; allow the "
                              "file's content instead: tessaly-ctl allow add sha256 $(sha256sum FILE)");
        return std::nullopt;
    }
    return QDir::cleanPath(QDir::current().absoluteFilePath(value));
}

QString allowTable(const QList<AllowEntry> &entries)
{
    Table t({"ID", "ADDED", "KIND", "VALUE", "NOTE"}, {true});
    for (const AllowEntry &e : entries)
        t.addRow({QString::number(e.id), formatTime(e.ts), e.kind, e.value, e.note});
    return t.render();
}

QCoro::Task<int> status(AgentClient &client, bool json, QTextStream &out, QTextStream &err)
{
    if (json)
        co_return co_await printJson(client, QStringLiteral("summary"), {}, out, err);
    co_await client.refresh();
    if (!client.connected())
        co_return unreachable(err, client);
    out << "agent: connected (" << client.socketPath() << ")\n";
    out << summaryText(*client.summary()) << "\n";
    if (client.scan())
        out << scanText(*client.scan()) << "\n";
    if (const auto &m = client.metrics()) {
        out << "files/s " << num(m->files_per_second) << ", files since start " << m->files_scanned_since_boot
            << ", agent CPU " << num(m->agent.cpu) << "%, memory " << formatBytes(m->agent.rss) << ", uptime "
            << num(m->uptime_seconds / 3600.0) << " h\n";
        out << "host CPU " << num(m->system.cpu_percent) << "%, RAM " << num(m->system.ram_percent) << "%, disk "
            << num(m->system.disk_percent) << "%\n";
    }
    co_return Success;
}

QCoro::Task<int> watch(AgentClient &client, int cycles, QTextStream &out)
{
    QPointer<AgentClient> guard(&client);
    int seen = 0;
    client.start();
    while (guard && (cycles <= 0 || seen < cycles)) {
        co_await qCoro(&client, &AgentClient::cycleFinished);
        ++seen;
        QString line = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")) + u' ';
        if (!client.connected()) {
            line += QStringLiteral("disconnected: ") + client.lastError().value_or(QString());
        } else {
            line += QStringLiteral("connected; ") + summaryText(*client.summary());
            if (const auto &m = client.metrics())
                line += QStringLiteral("; files/s %1; agent CPU %2%").arg(num(m->files_per_second), num(m->agent.cpu));
        }
        out << printable(line) << "\n";
        out.flush();
    }
    client.stop();
    co_return Success;
}

} // namespace

QString usageText() { return usage(); }

std::optional<double> parseTime(const QString &text)
{
    const QString t = text.trimmed();
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,12}(\\.[0-9]+)?$"));
    if (number.match(t).hasMatch())
        return t.toDouble();
    static const QRegularExpression iso(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}([T ][0-9]{2}:[0-9]{2}(:[0-9]{2}(\\.[0-9]+)?)?(Z|[+-][0-9]{2}:?[0-9]{2})?)?$"));
    if (!iso.match(t).hasMatch())
        return std::nullopt;
    QString normalised = t;
    if (normalised.size() > 10)
        normalised[10] = u'T';
    const QDateTime when = QDateTime::fromString(normalised, Qt::ISODateWithMs);
    if (!when.isValid())
        return std::nullopt;
    return static_cast<double>(when.toMSecsSinceEpoch()) / 1000.0;
}

QCoro::Task<int> run(AgentClient &client, Options options, QTextStream &out, QTextStream &err)
{
    const QStringList w = options.words;
    const QString command = w.value(0);
    const auto usageError = [&](const QString &why) {
        err << "tessaly-ctl: " << why << "\n\n" << usage();
        err.flush();
        return Usage;
    };

    const bool filtered = options.since || options.until || options.query;
    if (filtered && command != u"threats" && command != u"events" && command != u"export")
        co_return usageError(QStringLiteral("--since, --until and --query go with threats, events and export"));
    if (options.format && command != u"export")
        co_return usageError(QStringLiteral("--format goes with export"));
    QVariantMap listRequest = limit200();
    if (const auto bad = addFilters(options, listRequest))
        co_return usageError(*bad);

    if (command == u"status" && w.size() == 1)
        co_return co_await status(client, options.json, out, err);
    if (command == u"watch" && w.size() == 1)
        co_return co_await watch(client, options.watchCycles, out);

    if (command == u"threats" && w.size() == 1) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("threats"), listRequest, out, err);
        auto rows = co_await fetchList<Threat>(client, QStringLiteral("threats"), listRequest);
        if (!rows)
            co_return fail(err, rows.error());
        Table t({"ID", "TIME", "SEVERITY", "KIND", "STATUS", "PID", "PROCESS", "SIGNATURE", "PATH"}, {true, false, false, false, false, true});
        for (const Threat &r : rows.value())
            t.addRow({QString::number(r.id), formatTime(r.ts), r.severity, r.kind, r.status, opt(r.pid),
                      opt(r.process_name), opt(r.signature), opt(r.path)});
        out << t.render();
        co_return Success;
    }

    if (command == u"quarantine" && w.size() == 1) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("quarantine.list"), limit200(), out, err);
        auto rows = co_await fetchList<QuarantineEntry>(client, QStringLiteral("quarantine.list"), limit200());
        if (!rows)
            co_return fail(err, rows.error());
        Table t({"ID", "TIME", "SIZE", "REASON", "ORIGINAL PATH"}, {true, false, true});
        for (const QuarantineEntry &r : rows.value())
            t.addRow({QString::number(r.id), formatTime(r.ts), formatBytes(r.size), r.reason, r.original_path});
        out << t.render();
        co_return Success;
    }
    if (command == u"quarantine" && w.size() == 3 && (w[1] == u"restore" || w[1] == u"delete")) {
        bool ok = false;
        const qint64 id = w[2].toLongLong(&ok);
        if (!ok)
            co_return usageError(QStringLiteral("ID must be a whole number: ") + w[2]);
        const bool restore = w[1] == u"restore";
        CommandResult result;
        if (restore)
            result = co_await client.restoreQuarantine(id);
        else
            result = co_await client.deleteQuarantine(id);
        if (!client.connected())
            co_return unreachable(err, client);
        // A refusal (no such entry, a full disk, a file already at the original path) is a
        // failure, in the agent's own words.
        if (!result.ok)
            co_return failText(err, QStringLiteral("%1 of quarantine entry %2 failed: %3")
                                        .arg(w[1], QString::number(id), printable(result.error)));
        const QString where = result.data.value(QStringLiteral("restored_to")).toString();
        if (restore)
            out << "restored quarantine entry " << id
                << (where.isEmpty() ? QStringLiteral(" to its original place") : " to " + printable(where));
        else
            out << "deleted quarantine entry " << id << " for good";
        out << "; " << client.quarantine().size() << " entries in quarantine now\n";
        co_return Success;
    }

    if (command == u"processes" && w.size() == 1) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("processes"), {}, out, err);
        auto rows = co_await fetchList<ProcessRow>(client, QStringLiteral("processes"), {});
        if (!rows)
            co_return fail(err, rows.error());
        sortProcessesByScore(rows.value());
        Table t({"PID", "SCORE", "CPU%", "MEMORY", "THREADS", "FILES", "CONNS", "USER", "NAME", "EXE"},
                {true, true, true, true, true, true, true});
        for (const ProcessRow &r : rows.value())
            t.addRow({QString::number(r.pid), num(r.score, 2), num(r.cpu), formatBytes(r.rss), QString::number(r.threads),
                      QString::number(r.open_files), QString::number(r.connections), r.user, r.name, r.exe});
        out << t.render();
        co_return Success;
    }

    if (command == u"network" && w.size() == 1) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("network"), {}, out, err);
        auto rows = co_await fetchList<NetworkRow>(client, QStringLiteral("network"), {});
        if (!rows)
            co_return fail(err, rows.error());
        Table t({"PID", "PROCESS", "LOCAL", "REMOTE", "STATUS", "FLAG", "REASON"}, {true});
        for (const NetworkRow &r : rows.value())
            t.addRow({opt(r.pid), opt(r.process), r.local, r.remote, r.status,
                      r.suspicious ? QStringLiteral("SUSPICIOUS") : QString(), r.reason.value_or(QString())});
        out << t.render();
        co_return Success;
    }

    if (command == u"events" && w.size() == 1) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("events"), listRequest, out, err);
        auto rows = co_await fetchList<EventRow>(client, QStringLiteral("events"), listRequest);
        if (!rows)
            co_return fail(err, rows.error());
        Table t({"ID", "TIME", "SOURCE", "ACTION", "TARGET"}, {true});
        for (const EventRow &r : rows.value())
            t.addRow({QString::number(r.id), formatTime(r.ts), r.source, r.action, opt(r.target)});
        out << t.render();
        co_return Success;
    }

    if (command == u"scan" && (w.size() == 1 || (w.size() == 2 && w[1] == u"status"))) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("scan.status"), {}, out, err);
        auto scan = co_await fetchRecord<ScanStatus>(client, QStringLiteral("scan.status"));
        if (!scan)
            co_return fail(err, scan.error());
        out << scanText(scan.value()) << "\n";
        co_return Success;
    }
    if (command == u"scan" && w.size() == 2 && (w[1] == u"quick" || w[1] == u"full" || w[1] == u"stop")) {
        if (w[1] == u"stop")
            co_await client.stopScan();
        else
            co_await client.startScan(w[1]);
        if (!client.connected())
            co_return unreachable(err, client);
        out << (client.scan() ? scanText(*client.scan()) : QStringLiteral("no scan status")) << "\n";
        co_return Success;
    }

    if (command == u"metrics" && w.size() == 1) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("metrics.live"), {}, out, err);
        auto metrics = co_await fetchRecord<LiveMetrics>(client, QStringLiteral("metrics.live"));
        if (!metrics)
            co_return fail(err, metrics.error());
        const LiveMetrics &m = metrics.value();
        out << "uptime " << num(m.uptime_seconds / 3600.0) << " h, " << m.files_scanned_since_boot
            << " files scanned, " << num(m.files_per_second) << " files/s\n";
        out << "agent: pid " << m.agent.pid << ", CPU " << num(m.agent.cpu) << "%, memory " << formatBytes(m.agent.rss)
            << ", " << m.agent.threads << " threads, " << m.agent.fds << " descriptors";
        if (m.agent.clamd_rss)
            out << "; clamd memory " << formatBytes(*m.agent.clamd_rss);
        out << "\n";
        out << "host: CPU " << num(m.system.cpu_percent) << "% of " << m.system.cpu_count << ", RAM "
            << formatBytes(m.system.ram_used) << " / " << formatBytes(m.system.ram_total) << ", disk "
            << formatBytes(m.system.disk_used) << " / " << formatBytes(m.system.disk_total) << ", net "
            << formatBytes(static_cast<qint64>(m.system.net_bytes_sent_per_sec)) << "/s out, "
            << formatBytes(static_cast<qint64>(m.system.net_bytes_recv_per_sec)) << "/s in\n\n";
        Table engines({"ENGINE", "HITS", "LAST 24H", "TOTAL", "LAST HIT", "STATE"}, {false, true, true, true});
        for (const EngineStat &e : m.engineStats()) {
            const auto hits = m.engines.constFind(e.name);
            QString state;
            if (hits != m.engines.cend() && hits->state) {
                state = *hits->state;
                if (hits->reason && !hits->reason->isEmpty())
                    state += QStringLiteral(": ") + *hits->reason;
            }
            engines.addRow({e.name, QString::number(e.hits_since_boot), QString::number(e.last24h),
                            QString::number(e.total), e.last_hit_ts > 0 ? formatTime(e.last_hit_ts) : QStringLiteral("-"),
                            state.isEmpty() ? QStringLiteral("-") : state});
        }
        out << engines.render();
        const auto dirs = m.scanDirStats();
        if (!dirs.isEmpty()) {
            Table t({"SCANNED", "HITS", "SECONDS", "DIRECTORY"}, {true, true, true});
            for (const ScanDirStat &d : dirs)
                t.addRow({QString::number(d.scanned), QString::number(d.hits), num(d.duration), d.path});
            out << "\n" << t.render();
        }
        co_return Success;
    }

    if (command == u"settings" && w.size() == 1) {
        auto response = co_await client.call(QStringLiteral("settings.get"));
        if (!response)
            co_return fail(err, response.error());
        if (options.json) {
            const QByteArray data = response.value().dataJson();
            out << (data.isEmpty() ? QByteArrayLiteral("null") : data) << "\n";
            co_return Success;
        }
        const auto settings = decodeSettings(response.value());
        if (!settings)
            co_return fail(err, AgentError{QStringLiteral("tsav.decode"), 2, QStringLiteral("settings: expected an object")});
        out << settingsTable(*settings);
        co_return Success;
    }
    if (command == u"settings" && w.size() == 4 && w[1] == u"set") {
        const QString key = w[2];
        QVariantMap values;
        if (key == u"scheduled_scan_hours") {
            bool ok = false;
            const qint64 hours = w[3].toLongLong(&ok);
            if (!ok)
                co_return usageError(QStringLiteral("scheduled_scan_hours takes whole hours: ") + w[3]);
            values.insert(key, hours);
        } else if (settingKeyFromWire(key)) {
            const auto value = parseBool(w[3]);
            if (!value)
                co_return usageError(QStringLiteral("%1 takes true or false: %2").arg(key, w[3]));
            values.insert(key, *value);
        } else {
            co_return usageError(QStringLiteral("unknown setting: ") + key);
        }
        QVariantMap request;
        request.insert(QStringLiteral("values"), values);
        auto set = co_await client.call(QStringLiteral("settings.set"), request);
        if (!set)
            co_return fail(err, set.error());
        // Not saved (a full disk, a switch this machine cannot offer): said so, and the value
        // the agent keeps is printed below all the same.
        const bool refused = !set.value().ok;
        if (refused) {
            err << "tessaly-ctl: " << printable(set.value().error.value_or(QStringLiteral("refused"))) << "\n";
            err.flush();
        }
        // Read back what the agent now reports (this also tells whether it answered).
        auto response = co_await client.call(QStringLiteral("settings.get"));
        if (!response)
            co_return fail(err, response.error());
        const auto settings = decodeSettings(response.value());
        if (settings)
            out << settingsTable(*settings);
        co_return refused ? Failure : Success;
    }

    if (command == u"audit" && w.size() == 1) {
        auto response = co_await client.call(QStringLiteral("audit.run"));
        if (!response)
            co_return fail(err, response.error());
        if (options.json) {
            const QByteArray data = response.value().dataJson();
            out << (data.isEmpty() ? QByteArrayLiteral("null") : data) << "\n";
            co_return Success;
        }
        auto audit = decodeRecord<AuditResult>(response.value());
        if (!audit)
            co_return fail(err, audit.error());
        Table t({"RESULT", "SEVERITY", "CHECK", "DETAIL"});
        for (const AuditCheck &c : audit.value().checks)
            t.addRow({c.pass ? QStringLiteral("pass") : QStringLiteral("FAIL"), c.severity, c.title, c.detail});
        out << t.render() << "\nscore " << audit.value().score << "/100, " << audit.value().passing << " of "
            << audit.value().total << " checks passed\n";
        co_return Success;
    }

    if (command == u"export" && w.size() == 2) {
        if (!exportKinds.contains(w[1]))
            co_return usageError(QStringLiteral("export takes threats, events, quarantine or audit: ") + w[1]);
        const QString format = options.format.value_or(QStringLiteral("csv"));
        if (format != u"csv" && format != u"json")
            co_return usageError(QStringLiteral("--format takes csv or json: ") + format);
        if (options.json)
            co_return usageError(QStringLiteral("export writes its own format; use --format json"));
        QVariantMap request;
        request.insert(QStringLiteral("kind"), w[1]);
        request.insert(QStringLiteral("format"), format);
        if (const auto bad = addFilters(options, request))
            co_return usageError(*bad);
        co_return co_await exportHistory(client, request, out, err);
    }
    if (command == u"allow" && (w.size() == 1 || (w.size() == 2 && w[1] == u"list"))) {
        if (options.json)
            co_return co_await printJson(client, QStringLiteral("allowlist.list"), {}, out, err);
        auto rows = co_await fetchList<AllowEntry>(client, QStringLiteral("allowlist.list"), {});
        if (!rows)
            co_return fail(err, rows.error());
        if (rows.value().isEmpty())
            out << "the allow-list is empty\n";
        else
            out << allowTable(rows.value());
        co_return Success;
    }
    if (command == u"allow" && w.size() == 4 && w[1] == u"add") {
        if (!allowKinds.contains(w[2]))
            co_return usageError(QStringLiteral("KIND is path, sha256 or process: ") + printable(w[2]));
        QString why;
        const auto value = allowValue(w[2], w[3], &why);
        if (!value)
            co_return usageError(why);
        QVariantMap payload;
        payload.insert(QStringLiteral("kind"), w[2]);
        payload.insert(QStringLiteral("value"), *value);
        if (options.note)
            payload.insert(QStringLiteral("note"), *options.note);
        auto response = co_await client.call(QStringLiteral("allowlist.add"), payload);
        if (!response)
            co_return fail(err, response.error());
        auto added = decodeRecord<AllowAdded>(response.value());
        if (!added)
            co_return fail(err, added.error());
        if (options.json) {
            out << response.value().dataJson() << "\n";
            co_return Success;
        }
        const AllowAdded &a = added.value();
        out << "allowed " << printable(a.entry.kind) << " " << printable(a.entry.value) << " (entry "
            << a.entry.id << ")";
        if (a.resolved > 0)
            out << "; " << a.resolved << (a.resolved == 1 ? " open threat" : " open threats") << " now allowed";
        out << "\n";
        co_return Success;
    }
    if (command == u"allow" && w.size() == 3 && w[1] == u"remove") {
        bool ok = false;
        const qint64 id = w[2].toLongLong(&ok);
        if (!ok)
            co_return usageError(QStringLiteral("ID must be a whole number: ") + printable(w[2]));
        QVariantMap payload;
        payload.insert(QStringLiteral("id"), id);
        auto response = co_await client.call(QStringLiteral("allowlist.remove"), payload);
        if (!response)
            co_return fail(err, response.error());
        if (!response.value().ok)
            co_return fail(err, AgentError{QStringLiteral("tsav.agent"), 0,
                                           response.value().error.value_or(QStringLiteral("refused"))});
        out << "removed allow-list entry " << id << "\n";
        co_return Success;
    }
    if (command == u"allow")
        co_return usageError(QStringLiteral("allow takes list, add KIND VALUE or remove ID"));

    if (command.isEmpty())
        co_return usageError(QStringLiteral("no command given"));
    co_return usageError(QStringLiteral("unknown command: ") + w.join(u' '));
}

} // namespace tsav::ctl
