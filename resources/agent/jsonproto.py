"""Strict JSON for the wire.

Requests are untrusted: duplicate keys, NaN/Infinity literals, nesting deeper
than MAX_DEPTH and integers longer than MAX_INT_DIGITS are rejected with a
ProtocolError instead of being accepted or crashing the parser. Replies never
carry NaN or Infinity: non-finite floats become 0.0 before encoding.
"""

import json
import math

MAX_DEPTH = 32
MAX_INT_DIGITS = 20
MAX_STRING_ITEMS = 100_000


class ProtocolError(ValueError):
    """A request that cannot be accepted; the text goes back to the client."""


def _reject_constant(name):
    raise ProtocolError(f"invalid number literal {name}")


def _parse_int(text):
    digits = text.lstrip("-")
    if len(digits) > MAX_INT_DIGITS:
        raise ProtocolError("integer too large")
    return int(text)


def _parse_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise ProtocolError("number out of range")
    return value


def _pairs(pairs):
    obj = {}
    for key, value in pairs:
        if key in obj:
            raise ProtocolError(f"duplicate key {key[:64]!r}")
        obj[key] = value
    return obj


def _nesting_depth(text):
    """Deepest bracket nesting outside strings, computed without recursion."""
    depth = deepest = 0
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            if depth > deepest:
                deepest = depth
                if deepest > MAX_DEPTH:
                    return deepest
        elif ch in "]}":
            depth -= 1
    return deepest


_decoder = json.JSONDecoder(
    object_pairs_hook=_pairs,
    parse_int=_parse_int,
    parse_float=_parse_float,
    parse_constant=_reject_constant,
)


def decode_request(raw: bytes) -> dict:
    """Bytes of one request line -> dict with a string "op". Raises ProtocolError."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ProtocolError("request is not valid UTF-8") from None
    text = text.strip(" \t\r\n")
    if not text:
        raise ProtocolError("empty request")
    if _nesting_depth(text) > MAX_DEPTH:
        raise ProtocolError("nesting too deep")
    try:
        value, end = _decoder.raw_decode(text)
    except ProtocolError:
        raise
    except (ValueError, RecursionError) as exc:
        raise ProtocolError(f"invalid JSON: {str(exc)[:120]}") from None
    if text[end:].strip():
        raise ProtocolError("trailing data after JSON object")
    if not isinstance(value, dict):
        raise ProtocolError("request must be a JSON object")
    op = value.get("op")
    if not isinstance(op, str):
        raise ProtocolError('missing or non-string "op"')
    return value


def _finite(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else 0.0
    if isinstance(value, dict):
        return {str(k): _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def encode_reply(ok: bool, data=None, error: str | None = None) -> bytes:
    """One compact JSON object plus a line feed; never NaN or Infinity."""
    reply = {"ok": bool(ok), "data": data}
    if error is not None:
        reply["error"] = error
    try:
        text = json.dumps(reply, separators=(",", ":"), allow_nan=False, ensure_ascii=False)
    except ValueError:
        text = json.dumps(_finite(reply), separators=(",", ":"), allow_nan=False, ensure_ascii=False)
    # File names that are not valid UTF-8 carry lone surrogates; send them as "?".
    return text.encode("utf-8", "replace") + b"\n"


def error_reply(message: str) -> bytes:
    return encode_reply(False, None, message)
