"""Searching and exporting the agent's history, against the real agent on a seeded database."""

import csv
import io
import json
import os
import shutil
import tempfile
import time
from datetime import datetime

import pytest

import conftest
from conftest import Agent, wait_for

from agent import history, outbox
from agent.db import Database

PREPARE = (history.prepare, outbox.prepare)

SEEDED = 50_000
NOW = time.time()
START = NOW - 10 * 86400  # the seeded events end well before the agent's own
ODD_TARGET = b"/home/u/caf\xe9 \\ \xff.txt"  # not UTF-8, with a backslash
FORMULA = "=HYPERLINK(\"http://x\")"


def seeded_event(i):
    if i % 1000 == 7:
        return ("file", f"Fișier ȘTERS #{i}, \"citat\"\nrândul doi", ODD_TARGET)
    if i % 1000 == 8:
        return ("api", f"cell {i}", FORMULA)
    return (("file", "scan", "process")[i % 3], f"seeded event {i}", f"/home/u/f{i}")


def seed(data_dir):
    os.makedirs(data_dir, mode=0o700, exist_ok=True)
    db = Database(os.path.join(data_dir, "agent.db"), prepare=PREPARE)
    with db.transaction() as conn:
        conn.executemany("INSERT INTO events(ts, source, action, target) VALUES(?,?,?,?)",
                         ((START + i * 10, *seeded_event(i)) for i in range(SEEDED)))
        conn.executemany("INSERT INTO threats(ts, kind, severity, path, status, signature) VALUES(?,?,?,?,?,?)",
                         ((START + i * 1000, "signature", "high", ODD_TARGET if i % 2 else f"/srv/Ștefan/{i}",
                           "resolved", "Test.Sig") for i in range(40)))
    db.close()


@pytest.fixture(scope="module")
def seeded():
    home = tempfile.mkdtemp(prefix="tsav", dir=conftest.test_base())
    # No behaviour model fit during the tests: its event would make the pruning of the oldest
    # events (50,000 are kept) run in the middle of an export.
    agent = Agent(home, {"TSAV_AGENT_FIRST_FIT": "3600"})
    seed(agent.data_dir)
    agent.start()
    # The agent's own start-up events push the oldest seeded ones out within a second.
    wait_for(lambda: agent.data("events", until=START + 100)[-1]["id"] > 1, what="the first pruning")
    yield agent
    agent.stop()
    shutil.rmtree(home, ignore_errors=True)


def export_all(agent, **request):
    """Every page of one export: (concatenated text, raw reply sizes, pages)."""
    chunks, sizes, pages, cursor = [], [], [], 0
    while True:
        payload = dict(request, op="export", cursor=cursor)
        raw = agent.raw(json.dumps(payload).encode() + b"\n", timeout=60)
        sizes.append(len(raw))
        page = json.loads(raw)
        assert page["ok"] is True, page
        page = page["data"]
        assert (page["kind"], page["format"]) == (request["kind"], request["format"])
        pages.append(page)
        chunks.append(page["chunk"])
        if page["next"] is None:
            return "".join(chunks), sizes, pages
        assert page["next"] > cursor and page["rows"] > 0
        cursor = page["next"]


class TestSearch:
    def test_query_is_a_case_insensitive_substring_over_the_text(self, seeded):
        found = seeded.data("events", query="ștERS", limit=10_000)
        assert sorted(e["id"] for e in found) == list(range(8, SEEDED + 1, 1000))
        assert [e["id"] for e in found] == sorted((e["id"] for e in found), reverse=True)
        odd = seeded.data("events", query="CAF", limit=10_000)
        assert {e["target"] for e in odd} == {ODD_TARGET.decode("utf-8", "replace")}
        assert seeded.data("events", query="no such text anywhere") == []
        threats = seeded.data("threats", query="ștefan")
        assert len(threats) == 20 and all(t["path"].startswith("/srv/Ștefan/") for t in threats)

    def test_time_window_and_offset_page_through_the_same_rows(self, seeded):
        since, until = START + 1000 * 10, START + 1100 * 10  # ids 1001..1100
        window = seeded.data("events", since=since, until=until, limit=10_000)
        assert [e["id"] for e in window] == list(range(1100, 1000, -1))
        paged = []
        for offset in range(0, 120, 7):
            paged += seeded.data("events", since=since, until=until, offset=offset, limit=7)
        assert paged == window
        assert seeded.data("events", since=since, until=until, query="event 105", limit=50) == \
            [e for e in window if "event 105" in e["action"]]


class TestExport:
    def test_csv_of_every_event_in_pages_under_2_mib(self, seeded):
        text, sizes, pages = export_all(seeded, kind="events", format="csv")
        assert len(pages) > 2 and max(sizes) < 2 << 20
        assert text.startswith("\ufeffid,time,source,action,target\r\n")
        rows = list(csv.reader(io.StringIO(text[1:], newline="")))
        header, body = rows[0], rows[1:]
        # The agent keeps the newest 50,000 events: one recorded during the export pushes out an
        # oldest one already exported, so the export may hold a few more rows than the final total.
        assert len(body) == sum(p["rows"] for p in pages)
        assert SEEDED <= pages[-1]["total"] <= len(body) <= SEEDED + 5
        ids = [int(r[0]) for r in body]
        assert ids == sorted(ids) and len(set(ids)) == len(ids)
        by_id = {int(r[0]): dict(zip(header, r)) for r in body}
        first = by_id[ids[0]]
        assert datetime.fromisoformat(first["time"]).timestamp() == pytest.approx(START + (ids[0] - 1) * 10, abs=1)
        quoted = next(r for r in by_id.values() if r["action"].startswith("Fișier"))
        assert quoted["action"].endswith('"citat"\nrândul doi')
        assert quoted["target"] == "/home/u/caf\\xe9 \\\\ \\xff.txt"  # the exact bytes, escaped
        formula = next(r for r in by_id.values() if r["action"].startswith("cell "))
        assert formula["target"] == "'" + FORMULA
        assert text.count("\r\n") >= len(body) + 1

    def test_json_with_filters_matches_the_search(self, seeded):
        request = {"since": START + 5000 * 10, "query": "ȘTERS"}
        text, _, pages = export_all(seeded, kind="events", format="json", **request)
        records = json.loads(text)
        assert len(pages) == 1 and len(records) == pages[0]["total"] == pages[0]["rows"] == 45
        searched = seeded.data("events", limit=10_000, **request)
        assert [r["id"] for r in records] == sorted(e["id"] for e in searched)
        assert records[0]["target"] == "/home/u/caf\\xe9 \\\\ \\xff.txt"
        empty, _, _ = export_all(seeded, kind="threats", format="json", query="nothing like this")
        assert json.loads(empty) == []
        threats, _, _ = export_all(seeded, kind="threats", format="csv", until=START + 3000)
        assert [r[5] for r in csv.reader(io.StringIO(threats[1:]))][1:] == ["/srv/Ștefan/0", "/home/u/caf\\xe9 \\\\ \\xff.txt", "/srv/Ștefan/2"]


class TestAuditHistory:
    def test_audit_runs_are_kept_for_export(self, seeded):
        """(Last: the events of the runs push the oldest seeded ones out.)"""
        seeded.data("audit.run")
        seeded.data("audit.run")
        runs = json.loads(export_all(seeded, kind="audit", format="json")[0])
        assert len(runs) == 2 and all(len(r["checks"]) == r["total"] for r in runs)
        lines = list(csv.DictReader(io.StringIO(export_all(seeded, kind="audit", format="csv")[0][1:])))
        assert len(lines) == sum(r["total"] for r in runs)
        assert {line["pass"] for line in lines} <= {"pass", "fail"} and all(line["title"] for line in lines)
