"""modweave.parser.parse from Python: results, argument handling and hostile input."""

import random

import pytest

import modweave

parse = modweave.parser.parse


def imp(*names):
    return {"type": "import", "names": [alias(n) for n in names]}


def frm(module, level, *names):
    record = {"type": "import_from", "module": module, "level": level}
    if names:
        record["names"] = [alias(n) for n in names]
    return record


def alias(text):
    name, _, asname = text.partition(" as ")
    return {"name": name, "asname": asname} if asname else {"name": name}


@pytest.mark.parametrize(
    "source, expected",
    [
        ("import a.b as c, d", [imp("a.b as c", "d")]),
        ("from ..x import (y as z, w)", [frm("x", 2, "y as z", "w")]),
        ("from . import x", [frm("", 1, "x")]),
        ("from os.path import join", [frm("os.path", 0, "join")]),
        ("from p import (a, # note\n b)", [frm("p", 0, "a", "b")]),
        ("from p import (a, b,)", [frm("p", 0, "a", "b")]),
        ("import os\n    import sys", [imp("os"), imp("sys")]),
        ("x = 1", []),
        ("", []),
        ("import os; import sys", [imp("os")]),
        ("import a import b", [imp("a"), imp("b")]),
        ("import a,", [imp("a")]),
        ("import  os", [imp("os")]),
        ("import\tos", []),
        ("importos", []),
        ("\timport os", []),
        ("import abé", [imp("ab")]),
        ("import été", []),
        ("import a.b.c as d", [imp("a.b.c as d")]),
        ("from ...pkg.mod import y", [frm("pkg.mod", 3, "y")]),
        ("from .import x", []),
        ("from x import *", []),
        ("from x import(a)", []),
        ("from x import ()", []),
        ("from x import (a\n, b)", []),
        ("from x import (a as b,\n# note\nc,\n)", [frm("x", 0, "a as b", "c")]),
        ("from a \\\nimport b", [frm("a", 0, "b")]),
        ('"""\nimport hidden\n"""\nimport seen', [imp("seen")]),
        ('x = """\nimport reported\n"""', [imp("reported")]),
        ("# note \\\nimport os", []),
        ("import a\r\nimport b\rimport c\n", [imp("a"), imp("b"), imp("c")]),
        ("rb'x' import a", [imp("a")]),
        ("fb'import x'\nimport y", [imp("y")]),
        ("if x:\n    from .sub import (\n        first,  # why\n        second,\n    )\n",
         [frm("sub", 1, "first", "second")]),
    ],
)
def test_parse_results(source, expected):
    assert parse(source) == expected


def test_keys_come_in_their_fixed_order():
    (from_import,) = parse("from .m import a as b")
    assert list(from_import) == ["type", "module", "level", "names"]
    assert list(from_import["names"][0]) == ["name", "asname"]
    (plain,) = parse("import m")
    assert list(plain) == ["type", "names"]


def test_every_call_returns_fresh_objects():
    first = parse("import a")
    first[0]["names"].append("changed")
    assert parse("import a") == [imp("a")]


def test_source_by_keyword_and_str_subclass():
    class Source(str):
        pass

    assert parse(source="import a") == [imp("a")]
    assert parse(Source("import b")) == [imp("b")]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "parse() missing 1 required positional argument: 'source'"),
        (("a", "b"), {}, "parse() takes 1 positional argument but 2 were given"),
        ((), {"text": "a"}, "parse() got an unexpected keyword argument 'text'"),
        (("a",), {"source": "a"}, "parse() got multiple values for argument 'source'"),
        ((b"import a",), {}, "argument 'source': 'bytes' object cannot be converted to 'str'"),
        ((None,), {}, "argument 'source': 'NoneType' object cannot be converted to 'str'"),
    ],
)
def test_bad_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        parse(*args, **kwargs)
    assert str(caught.value) == message


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        parse("import a\n\udc80")


@pytest.mark.parametrize(
    "source",
    [
        "\x00import a\x00",
        "'''unclosed\nimport a",
        '"unclosed\nimport b',
        "\r" * 1000 + "import c",
        "\r\n\r\r\n\n" * 500,
        "import " + "a" * 200_000,
        "from " + "." * 100_000 + " import x",
        "(" * 50_000,
        "x" * 1_000_000,
        "\\\n" * 10_000,
        "\ufeffimport bom",
        "# é 中 😀\nimport ünicode",
    ],
)
def test_hostile_text_parses_without_failure(source):
    result = parse(source)
    assert isinstance(result, list)
    for record in result:
        assert record["type"] in {"import", "import_from"}


def test_random_text_from_import_fragments_never_fails():
    fragments = ["import ", "from ", " as ", ".", ",", "(", ")", "\n", "\r", "\r\n", " ", "\t",
                 "\\\n", "#", "'", '"', "'''", '"""', "rb", "f", "x", "é", "\x00", "*", "_1"]
    rng = random.Random(1234)
    for _ in range(2000):
        source = "".join(rng.choice(fragments) for _ in range(rng.randrange(1, 40)))
        for record in parse(source):
            names = record.get("names", [])
            assert names, "a recognised statement always has names"
            for entry in names:
                assert entry["name"] and entry["name"] in source


def test_large_file_is_parsed_completely():
    body = "import os\nfrom . import x\n'''doc\nimport hidden\n'''\n" * 200_000
    result = parse(body)
    assert len(result) == 400_000
    assert result[-1] == frm("", 1, "x")
