"""File names are bytes.

Linux file names are byte strings; most are UTF-8, some are not (a name written
by another locale, or crafted to trip a scanner). The agent keeps every name
exactly, so that what it quarantines it can restore to the same bytes:

- in memory a name is a ``str`` decoded with ``os.fsdecode`` (undecodable bytes
  become lone surrogates, and ``os.fsencode`` gives the bytes back);
- in SQLite it is TEXT when it is valid UTF-8 and a BLOB of the raw bytes
  otherwise (``to_db`` / ``from_db``);
- on the socket it is shown with U+FFFD for each undecodable byte (``display``);
- in exports, where the reader needs the exact bytes but a UTF-8 file,
  undecodable bytes are written as ``\\xNN`` and a backslash as ``\\\\``
  (``escaped``).
"""

import os


def to_db(name):
    """A name as SQLite should keep it: str when valid UTF-8, else the raw bytes."""
    if name is None:
        return None
    if isinstance(name, bytes):
        try:
            return name.decode("utf-8")
        except UnicodeDecodeError:
            return name
    try:
        name.encode("utf-8")
        return name
    except UnicodeEncodeError:
        return os.fsencode(name)


def from_db(value):
    """The in-memory name for a value read back from SQLite."""
    if value is None or isinstance(value, str):
        return value
    return os.fsdecode(bytes(value))


def raw(name) -> bytes:
    """The exact bytes of a name."""
    return name if isinstance(name, bytes) else os.fsencode(name)


def display(name) -> str:
    """Valid UTF-8 text for people: each undecodable byte becomes U+FFFD."""
    if name is None:
        return ""
    return raw(name).decode("utf-8", "replace")


def escaped(name) -> str:
    """Valid UTF-8 text that keeps the exact bytes: undecodable bytes as \\xNN, "\\" as "\\\\"."""
    data = raw(name)
    out = []
    i = 0
    while i < len(data):
        try:
            # Decode the longest valid run at once; stop at the first bad byte.
            text = data[i:].decode("utf-8")
            out.append(text.replace("\\", "\\\\"))
            break
        except UnicodeDecodeError as exc:
            good = data[i:i + exc.start].decode("utf-8")
            out.append(good.replace("\\", "\\\\"))
            bad = data[i + exc.start:i + exc.end]
            out.append("".join(f"\\x{b:02x}" for b in bad))
            i += exc.end
    return "".join(out)
