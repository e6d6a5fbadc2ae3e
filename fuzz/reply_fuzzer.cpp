// Feeds arbitrary bytes to the reply parser and, whatever parses, to every record
// decoder and derivation. Any crash, leak or undefined behaviour is a finding.

#include "agentlink/decode.h"
#include "agentlink/records.h"
#include "agentlink/transport.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace tsav;

void decodeEverything(const AgentResponse &r)
{
    (void)r.dataJson();
    (void)decodeRecord<Summary>(r);
    (void)decodeList<Threat>(r);
    (void)decodeList<QuarantineEntry>(r);
    (void)decodeList<ProcessRow>(r);
    if (auto rows = decodeList<ProcessRow>(r))
        sortProcessesByScore(rows.value());
    if (auto rows = decodeList<NetworkRow>(r))
        for (const NetworkRow &row : rows.value())
            (void)row.identity();
    (void)decodeList<EventRow>(r);
    (void)decodeRecord<ScanStatus>(r);
    (void)decodeRecord<AgentSelfStats>(r);
    (void)decodeRecord<SystemStats>(r);
    if (auto m = decodeRecord<LiveMetrics>(r)) {
        (void)m.value().engineStats();
        (void)m.value().scanDirStats();
        (void)engineProblems(m.value(), {});
    }
    (void)decodeRecord<AuditResult>(r);
    (void)decodeList<AuditCheck>(r);
    (void)decodeRecord<ExportPage>(r);
    (void)decodeList<AllowEntry>(r);
    (void)decodeRecord<AllowAdded>(r);
    if (auto s = decodeSettings(r))
        for (auto it = s->switches.cbegin(); it != s->switches.cend(); ++it)
            (void)settingKeyFromWire(it.key());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // The bytes as a whole reply...
    if (auto r = parseReply(bytes))
        decodeEverything(r.value());
    // ...and as the data member of one, so that mutations reach the decoders directly.
    if (auto r = parseReply(QByteArrayLiteral("{\"ok\":true,\"data\":") + bytes + QByteArrayLiteral("}\n")))
        decodeEverything(r.value());
    return 0;
}
