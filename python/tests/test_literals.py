"""The literal renderer and the place-holder scanner, without a server."""

import datetime
import decimal
import random

import pytest

from qorvin import _literals
from qorvin._literals import LiteralError, render_literal, substitute


def test_literals_of_each_type():
    assert render_literal(None) == "NULL"
    assert render_literal(True) == "1" and render_literal(False) == "0"
    assert render_literal(-12345678901234567890) == "-12345678901234567890"
    assert render_literal(0.1) == "0.1" and render_literal(-1e300) == "-1e+300"
    assert render_literal(decimal.Decimal("1E+3")) == "1000"
    assert render_literal(decimal.Decimal("-0.000100")) == "-0.000100"
    assert render_literal("it's") == "'it''s'"
    assert render_literal(datetime.datetime(2024, 1, 2, 3, 4, 5, 6)) == "'2024-01-02 03:04:05.000006'"
    assert render_literal(datetime.date(2024, 2, 29)) == "'2024-02-29'"
    assert render_literal(datetime.time(23, 59, 1)) == "'23:59:01'"
    assert render_literal(b"\x00\xff'") == "0x00ff27"
    assert render_literal(b"") == "0x"


@pytest.mark.parametrize("value", [float("nan"), float("inf"), decimal.Decimal("NaN"),
                                   "a\0b", object(), [1],
                                   datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)])
def test_values_without_literal_are_refused(value):
    with pytest.raises(LiteralError):
        render_literal(value)


def test_hostile_strings_stay_one_literal():
    for hostile in ["'; drop table Customers; --", "''", "'", "a'' or ''1''=''1", "\\'", "\\",
                    "/* ?", "*/ ?", "-- ?", "[x]?", '"?"', "N'x'", "\u4e2d\U0001F600'\u202e"]:
        rendered = render_literal(hostile)
        assert rendered[0] == rendered[-1] == "'"
        inner = rendered[1:-1]
        # Every quote inside is doubled, so the literal cannot end early.
        assert inner.replace("''", "") .count("'") == 0
        assert inner.replace("''", "'") == hostile
        # No place-holder of the rendered literal is taken for one.
        assert _literals._placeholders(rendered) == []


def test_placeholders_inside_quotes_and_comments_are_left():
    sql = ("select '?', N'?''?', \"?\", [?] -- ?\n, ? /* ? /* nested ? */ ? */, ? "
           "from t where a = ?")
    out = substitute(sql, [1, "x", None])
    assert out == ("select '?', N'?''?', \"?\", [?] -- ?\n, 1 /* ? /* nested ? */ ? */, 'x' "
                   "from t where a = NULL")


def test_placeholder_count_and_shape_are_checked():
    with pytest.raises(LiteralError, match="2 place-holders but 1"):
        substitute("select ?, ?", [1])
    with pytest.raises(LiteralError, match="sequence"):
        substitute("select ?", "a")
    with pytest.raises(LiteralError, match="unclosed"):
        substitute("select 'a ?", [1])
    with pytest.raises(LiteralError, match="'\\*/'"):
        substitute("select 1 /* ?", [1])


def test_random_text_never_escapes_its_literal():
    rng = random.Random(38)
    alphabet = "'\"[]?-/*\\\n\r\t ;aZ0\u00e9\u4e2d\U0001F600"
    for _ in range(2000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 30)))
        out = substitute("select ? as v, ?", [text, 7])
        assert out == "select " + render_literal(text) + " as v, 7"
