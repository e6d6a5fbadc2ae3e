"""Fault injection for crash-safety tests (honoured only in test mode).

"kill:<op>:<step>" SIGKILLs the agent when `op` reaches `step`:
  move 1-6, restore 1-5, delete 1-2 (the steps are marked in vault.py);
  detect 1 the path is journaled, nothing recorded yet; 2 the threats are
  recorded, the move not begun; 3 the file is dealt with, its journal entry
  still open.
"enospc:<n>" makes the n-th vault write fail with ENOSPC.
"""

import errno
import os
import signal
import threading


class Faults:
    def __init__(self, spec: str = ""):
        self.kill_at = None
        self.enospc_at = None
        self.writes = 0
        self.lock = threading.Lock()
        parts = spec.split(":") if spec else []
        if len(parts) == 3 and parts[0] == "kill" and parts[2].isdigit():
            self.kill_at = (parts[1], int(parts[2]))
        elif len(parts) == 2 and parts[0] == "enospc" and parts[1].isdigit():
            self.enospc_at = int(parts[1])

    def step(self, op: str, number: int):
        if self.kill_at == (op, number):
            os.kill(os.getpid(), signal.SIGKILL)

    def before_write(self):
        if self.enospc_at is None:
            return
        with self.lock:
            self.writes += 1
            hit = self.writes == self.enospc_at
        if hit:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
