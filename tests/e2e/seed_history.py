#!/usr/bin/env python3
"""Writes a history of events into an agent's database before the agent starts.

    seed_history.py RESOURCES DATA_DIR COUNT

The events are an hour apart, ending a day ago; every one is found by the query
"seeded event <its number>", and every 1,000th has a name that is not UTF-8 and a
Romanian action, so exports meet escaped bytes, quotes and line breaks.
"""

import os
import sys
import time


def main(resources, data_dir, count):
    sys.path.insert(0, resources)
    from agent import history, outbox
    from agent.db import Database

    os.makedirs(data_dir, mode=0o700, exist_ok=True)
    db = Database(os.path.join(data_dir, "agent.db"), prepare=(history.prepare, outbox.prepare))
    start = time.time() - 86400 - count * 3600

    def event(i):
        if i % 1000 == 7:
            return (start + i * 3600, "file", f'Fișier ȘTERS "seeded event {i}"\nrândul doi', b"/home/u/caf\xe9 \xff.txt")
        return (start + i * 3600, ("file", "scan", "process")[i % 3], f"seeded event {i}", f"/home/u/f{i}")

    with db.transaction() as conn:
        conn.executemany("INSERT INTO events(ts, source, action, target) VALUES(?,?,?,?)",
                         (event(i) for i in range(count)))
    db.close()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
