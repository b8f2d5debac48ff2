"""Parameters as literals of the server's SQL dialect, rendered on the client.

The server takes SQL text only, so ``execute(sql, params)`` replaces each ``?`` place-holder of
the statement with the literal of its parameter. The scanner knows the dialect's quoting, so a
``?`` inside '...' or N'...' text, a "quoted" or [bracketed] name, a -- line comment or a
(nested) /* block comment */ is left alone. Literals:

- ``None`` -> ``NULL``; ``bool`` -> ``1`` / ``0``; ``int`` -> its digits;
- ``float`` -> the shortest text that reads back to the same double (NaN and the infinities
  are refused: the dialect has no literal for them);
- ``decimal.Decimal`` -> its exact digits in fixed notation (NaN and infinities refused);
- ``str`` -> '...' with every quote doubled (a NUL character is refused: the database would cut
  the text there);
- ``datetime.datetime`` / ``date`` / ``time`` -> ISO text in quotes ('2024-01-02 03:04:05.123456',
  '2024-01-02', '03:04:05');
- ``bytes`` / ``bytearray`` / ``memoryview`` -> the dialect's binary literal 0x0a1b...

Anything else raises ``ProgrammingError``; so does a count of parameters that does not match the
place-holders.
"""

import datetime
import decimal
import math


class LiteralError(ValueError):
    """A parameter that has no literal, or place-holders that do not match the parameters."""


def render_literal(value):
    if value is None:
        return "NULL"
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise LiteralError("a float parameter is %r, which SQL has no literal for" % value)
        return repr(value)
    if isinstance(value, decimal.Decimal):
        if not value.is_finite():
            raise LiteralError("a Decimal parameter is %s, which SQL has no literal for" % value)
        return format(value, "f")
    if isinstance(value, str):
        if "\0" in value:
            raise LiteralError("a text parameter holds the character NUL, which the database refuses")
        return "'" + value.replace("'", "''") + "'"
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            raise LiteralError("a datetime parameter with a time zone; pass a naive one")
        return "'" + value.isoformat(sep=" ") + "'"
    if isinstance(value, datetime.date):
        return "'" + value.isoformat() + "'"
    if isinstance(value, datetime.time):
        if value.tzinfo is not None:
            raise LiteralError("a time parameter with a time zone; pass a naive one")
        return "'" + value.isoformat() + "'"
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "0x" + bytes(value).hex()
    raise LiteralError("a parameter of type %s has no SQL literal" % type(value).__name__)


def _placeholders(sql):
    """The offsets of the ``?`` place-holders outside quotes and comments."""
    found = []
    i, n = 0, len(sql)
    while i < n:
        c = sql[i]
        if c in "'\"[":
            close = "]" if c == "[" else c
            i += 1
            while i < n:
                if sql[i] == close:
                    if i + 1 < n and sql[i + 1] == close:  # a doubled quote
                        i += 2
                        continue
                    break
                i += 1
            if i >= n:
                raise LiteralError("the statement has an unclosed %s" % c)
            i += 1
        elif c == "-" and sql.startswith("--", i):
            while i < n and sql[i] not in "\r\n":
                i += 1
        elif c == "/" and sql.startswith("/*", i):
            depth, i = 1, i + 2
            while i < n and depth:
                if sql.startswith("/*", i):
                    depth, i = depth + 1, i + 2
                elif sql.startswith("*/", i):
                    depth, i = depth - 1, i + 2
                else:
                    i += 1
            if depth:
                raise LiteralError("the statement has a comment without its '*/'")
        else:
            if c == "?":
                found.append(i)
            i += 1
    return found


def substitute(sql, params):
    """``sql`` with its ``?`` place-holders replaced by the literals of ``params`` (a sequence)."""
    if isinstance(params, (str, bytes, dict)) or not hasattr(params, "__len__"):
        raise LiteralError("parameters are a sequence (paramstyle 'qmark')")
    marks = _placeholders(sql)
    if len(marks) != len(params):
        raise LiteralError(
            "the statement has %d place-holders but %d parameters were given" % (len(marks), len(params))
        )
    out, last = [], 0
    for at, value in zip(marks, params):
        out.append(sql[last:at])
        out.append(render_literal(value))
        last = at + 1
    out.append(sql[last:])
    return "".join(out)
