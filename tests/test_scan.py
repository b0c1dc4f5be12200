"""modweave.parser.scan against the interpreter's own parser: the standard library, tricky texts
and generated programs must give exactly the import nodes `ast` finds; anything else scans
without failure."""

import os
import pathlib
import random
import sys
import sysconfig

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import modweave
from scan_reference import ast_records

scan = modweave.parser.scan
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
GENERATED_EXAMPLES = 40 if SANITIZED else 200
STDLIB_SAMPLE = 40 if SANITIZED else 150


def stdlib_sample():
    """A fixed spread of the running interpreter's standard library: every n-th file by path."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    paths = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)
    return paths[:: max(1, len(paths) // STDLIB_SAMPLE)]


def test_scan_matches_ast_over_a_sample_of_the_standard_library():
    compared = statements = 0
    for path in stdlib_sample():
        try:
            source = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue
        expected = ast_records(source)
        if expected is None:
            continue
        assert scan(source) == expected, path
        compared += 1
        statements += len(expected)
    assert compared > STDLIB_SAMPLE // 2 and statements > compared


TC = "if TYPE_CHECKING:\n"


@pytest.mark.parametrize(
    "source",
    [
        # statement boundaries
        "import a; import b;import c\n",
        "if x: import a; import b\nelse: import c\n",
        "try: import a\nexcept ImportError: from b import c\nfinally: import d",
        "class C: import a\ndef f(x: int = 1) -> None: import b\n",
        "while lambda: 1: import a\nif lambda x=lambda: 0: x: import b\n",
        "x = {1: 2}; y = a[1:2]; z: int = 3; import a\n",
        "if (n := 10) > 5: import a\n",
        "match x:\n    case {'a': 1} if y: import a\n    case _:\n        import b\n",
        "async def f():\n    async with a: import b\n",
        "@decorator\ndef f(): import a\n",
        "def f[T: int](): import a\n",
        # continuations and brackets
        "x = 1; \\\nimport a",
        "\\\nimport a\n",
        "if x: \\\n    import a\n",
        "import a \\\n , b . \\\n c as \\\n d\n",
        "from . \\\n import (a,\n  # note\n  b as c,\n)\n",
        "x = (1,\nimport_ := 2)\nimport a\n",
        "y = [\n    'import a',  # import b\n]\nimport c\n",
        # strings of every kind
        "x = '''\nimport a\n'''; import b\n",
        'x = """\\"""import a"""\nimport b\n',
        "x = 'a\\\nimport b'\nimport c\n",
        "x = rb'\\'' + Rb\"\\\"\" + bR'import a'\nimport b\n",
        "x = u'import a' r'\\\\' f'\\N{BULLET} {x!r:>{w}}'\nimport b\n",
        "x = ''\nimport a\n",
        "x = ''''''\nimport a\n",
        # f-strings as 3.12 reads them
        'x = f"{f"{f"{1}"}"}"\nimport a\n',
        "x = f'{'import a'}'\nimport b\n",
        'x = f"{x:{"}"}}" f"{{import a}}"\nimport b\n',
        'x = f"{x:=5}" f"{(y:=5)}" f"{a!=b}" f"{x = }" f"{x=!r:^20}"\nimport b\n',
        'x = f"""{\n  a # import a\n}"""\nimport b\n',
        'x = f"{x\n}"\nimport b\n',
        "x = f'{a[1:2]}' rf'\\N{x}' F'\\{{x}}'\nimport b\n",
        'x = f"{x:{y}.{z}}" f"{ {"a": 1}["a"] }"\nimport b\n',
        "x = f'{x:#x}' f'{x:\"^9}' f\"{x:'<{w}}\"\nimport b\n",
        # line ends, blanks and indentation
        "import a\r\nimport b\rimport c\n",
        "if x:\r    import a\r\n\r\nimport b",
        "\x0cimport a\nif 1:\n\timport b\n\x0c\timport c\n",
        "import\ta\nimport\x0cb\n",
        "\ufeffimport a\n",
        # names as ast reports them
        "import \u00e9t\u00e9, \ufb01 as \u2168\nfrom \u210cx import \u0391\n",
        "import os.\u00e9t\u00e9.x, ab\u00e9.c, a.\ufb01 as d\nfrom a\u00e9.b . c import e\nimport a.b1._c\n",
        "from .import a\nfrom ... import b\nfrom .... c import d\nfrom .. import *\n",
        "import match, case, type\nfrom _ import _\n",
        # type-checking blocks
        TC + "    import a\nimport b\n",
        TC + "    import a\nelif TYPE_CHECKING:\n    import b\nelse:\n    import c\n",
        "if x:\n    import a\nelif typing.TYPE_CHECKING:\n    import b\nelse:\n    import c\n",
        "if TYPE_CHECKING: import a; import b\nimport c\n",
        "if (TYPE_CHECKING):\n import a\nif a.b.TYPE_CHECKING :\n import b\n",
        "if not TYPE_CHECKING:\n import a\nif TYPE_CHECKING and x:\n import b\n",
        "x = 1 if TYPE_CHECKING else 2\nimport a\n",
        "def f():\n    if TYPE_CHECKING:\n        if x:\n            import a\n        else:\n"
        "            import b\n\n  # note\n        import c\n    import d\n",
        "class C:\n\tif TYPE_CHECKING:\n\t        import a\n\timport b\n",
        "if TYPE_CHECKING:\n    '''doc\nimport x\n'''\n    import a\nimport b\n",
        "if TYPE_CHECKING:\n    x = (\n1)\n    import a\n",
        "if \uff34\uff39\uff30\uff25_\uff23\uff28\uff25\uff23\uff2b\uff29\uff2e\uff27:\n import a\n",
        "match x:\n    case y if TYPE_CHECKING:\n        import a\n",
    ],
)
def test_tricky_texts_match_ast(source):
    expected = ast_records(source)
    assert expected is not None, "the case must be valid Python"
    assert scan(source) == expected


def test_record_shape():
    records = scan("from .m import a as b\nimport m\nif TYPE_CHECKING:\n from . import *\n")
    assert [list(record) for record in records] == [
        ["type", "module", "level", "names", "line"],
        ["type", "names", "line"],
        ["type", "module", "level", "names", "line", "type_checking"],
    ]
    assert records[2]["module"] == "" and records[2]["type_checking"] is True
    assert records[2]["names"] == [{"name": "*"}]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "scan() missing 1 required positional argument: 'source'"),
        (("a", "b"), {}, "scan() takes 1 positional argument but 2 were given"),
        ((), {"text": "a"}, "scan() got an unexpected keyword argument 'text'"),
        ((b"import a",), {}, "argument 'source': 'bytes' object cannot be converted to 'str'"),
        ((None,), {}, "argument 'source': 'NoneType' object cannot be converted to 'str'"),
    ],
)
def test_bad_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        scan(*args, **kwargs)
    assert str(caught.value) == message


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        scan("import a\n\udc80")


@pytest.mark.parametrize(
    "source",
    [
        "\x00import a\x00",
        "'''unclosed\nimport a",
        "f'{unclosed\nimport a",
        'f"{f"{f"{' * 20_000,
        "(" * 100_000 + "\nimport a",
        ")" * 1000 + "\nimport a",
        "import " + "a" * 200_000,
        "from " + "." * 100_000 + " import x",
        "if " + "(" * 100_000 + "TYPE_CHECKING:",
        "\\",
        "x = 1 \\",
        "import a.\nimport (b)\nfrom x import (a,\nimport c",
        "\r" * 1000 + "import c",
    ],
)
def test_broken_text_scans_without_failure(source):
    for record in scan(source):
        assert 1 <= record["line"] <= source.count("\n") + source.count("\r") + 1
        assert record["names"] and all(entry["name"] for entry in record["names"])


def test_text_of_a_hundred_megabytes_scans():
    unit = "x = f'{y}' + \"\"\"(\"\"\"  # (\n"
    copies = 100_000_000 // len(unit)
    assert scan(unit * copies + "import os") == [
        {"type": "import", "names": [{"name": "os"}], "line": copies + 1}]


def test_cut_standard_library_files_scan_to_the_records_before_the_cut():
    # Whatever the cut, only the last record found may differ: a statement cut short.
    rng = random.Random(7)
    for path in stdlib_sample()[::4]:
        source = path.read_bytes().decode("utf-8", "replace")
        complete = scan(source)
        for cut in rng.sample(range(len(source) + 1), min(20, len(source) + 1)):
            found = scan(source[:cut])
            assert found[:-1] == complete[: max(0, len(found) - 1)], (path, cut)


# ---------------------------------------------------------------------------------------------
# Generated programs: statements of every kind, nested blocks and one-line bodies, dense with
# imports, strings of every prefix and quote, f-strings with nested fields, brackets over several
# lines, comments and continuations. Generation aims at valid Python; `ast` has the last word.

names = st.sampled_from(["a", "b2", "_c", "os", "match", "type", "\u00e9", "\ufb01",
                         "TYPE_CHECKING", "typing"])
dotted = st.lists(names, min_size=1, max_size=3).map(".".join)
gaps = st.sampled_from([" ", "  ", "\t", "\x0c", " \\\n ", " \\\r\n"])
inner_gaps = st.sampled_from([" ", "\n ", " # import z\n", "\\\n", "\r\n  "])
line_ends = st.sampled_from(["\n", "\r\n", "\r"])
plain_text = st.lists(st.sampled_from(["import a", "from b import c", "#", "(", "]", "{", "}",
                                       "x", " ", "\\\\", "\\'", '\\"', "\\N{EM DASH}"]),
                      max_size=5).map("".join)


def quoted(body, quote, prefix=""):
    return prefix + quote + body + quote


plain_strings = st.builds(
    quoted, plain_text, st.sampled_from(["'", '"', "'''", '"""']),
    st.sampled_from(["", "r", "b", "rb", "BR", "u", "R"]))


def fstrings(inner):
    literal = st.sampled_from(["", "x", "{{", "}}", "import a", "\\\\", "#", ":"])
    field = st.builds(
        lambda expression, suffix: "{" + expression + suffix + "}",
        inner,
        st.sampled_from(["", "!r", "=", ":>10", ":{w}", "!s:{w}.{p}", " = ", ":#x", ":'^9"]))
    parts = st.lists(st.one_of(literal, field), max_size=4).map("".join)
    return st.builds(quoted, parts, st.sampled_from(["'", '"', "'''", '"""']),
                     st.sampled_from(["f", "F", "rf", "fR"]))


expressions = st.recursive(
    st.one_of(names, st.sampled_from(["1", "0x1f", "1.5e-3", "..."]), plain_strings),
    lambda inner: st.one_of(
        fstrings(inner),
        st.builds(lambda f, args, gap: f"{f}({gap.join(args)})", names,
                  st.lists(inner, max_size=3).map(lambda items: [i + "," for i in items]),
                  inner_gaps),
        st.builds(lambda items, gap: "[" + gap + ("," + gap).join(items) + "]",
                  st.lists(inner, max_size=3), inner_gaps),
        st.builds(lambda key, value: "{" + key + ": " + value + "}", inner, inner),
        st.builds(lambda a, b: f"({a} if {b} else {a})", inner, inner),
        st.builds(lambda body: f"(lambda x: {body})", inner),
        st.builds(lambda a, b: f"{a} + {b}", inner, inner),
    ),
    max_leaves=6,
)

aliases = st.builds(lambda name, alias: name + (f" as {alias}" if alias else ""),
                    names, st.none() | names)
imports = st.builds(
    lambda items, gap: f"import{gap}" + ", ".join(items),
    st.lists(st.builds(lambda name, alias: name + (f" as {alias}" if alias else ""),
                       dotted, st.none() | names), min_size=1, max_size=3),
    gaps)
from_imports = st.one_of(
    st.builds(lambda dots, module, gap, items: f"from {dots}{module}{gap}import " + ", ".join(items),
              st.sampled_from(["", ".", "..", "...", ". ."]), dotted, gaps,
              st.lists(aliases, min_size=1, max_size=3)),
    st.builds(lambda dots, gap, items, comma: f"from {dots} import ({gap}"
              + f",{gap}".join(items) + comma + ")",
              st.sampled_from([".", "..", "...."]), inner_gaps,
              st.lists(aliases, min_size=1, max_size=3), st.sampled_from(["", ","])),
    st.builds(lambda module: f"from {module} import *", dotted),
)
simple_statements = st.one_of(
    imports, from_imports,
    st.builds(lambda target, value: f"{target} = {value}", names, expressions),
    expressions,
    st.sampled_from(["pass", "x: int = 1", "del x", "return", "y = yield from z", "raise X from Y"]),
)
simple_lines = st.builds(
    lambda items, end, comment: "; ".join(items) + end + comment,
    st.lists(simple_statements, min_size=1, max_size=3),
    st.sampled_from(["", ";"]),
    st.sampled_from(["", "  # import q", "# 'x"]))
headers = st.one_of(
    st.sampled_from(["if TYPE_CHECKING", "if typing.TYPE_CHECKING", "if not TYPE_CHECKING",
                     "if (TYPE_CHECKING)", "while x", "for x in y", "with a as b", "try",
                     "def f(x=1)", "class C(B)", "async def g()", "match x"]),
    st.builds(lambda e: f"if {e}", expressions),
)


@st.composite
def blocks(draw, indent="", depth=0):
    """Lines of statements at `indent`; compound ones carry a one-line or an indented body."""
    lines = []
    for _ in range(draw(st.integers(1, 4))):
        if depth < 3 and draw(st.booleans()):
            header = draw(headers)
            unit = draw(st.sampled_from(["    ", "  ", "\t"]))
            if header == "match x":
                body = draw(blocks(indent + unit + unit, depth + 1))
                lines.append(f"{indent}match x:\n{indent}{unit}case 1:\n" + body)
            elif header == "try":
                body = draw(blocks(indent + unit, depth + 1))
                handler = draw(blocks(indent + unit, depth + 1))
                lines.append(f"{indent}try:\n{body}{indent}except E:\n{handler}")
            elif draw(st.booleans()):
                lines.append(f"{indent}{header}: {draw(simple_lines)}\n")
            else:
                body = draw(blocks(indent + unit, depth + 1))
                lines.append(f"{indent}{header}:\n{body}")
                if header.startswith("if") and draw(st.booleans()):
                    other = draw(st.sampled_from(["elif TYPE_CHECKING", "elif x", "else"]))
                    lines.append(f"{indent}{other}:\n" + draw(blocks(indent + unit, depth + 1)))
        else:
            lines.append(indent + draw(simple_lines) + "\n")
        if draw(st.integers(0, 5)) == 0:
            lines.append(draw(st.sampled_from(["\n", "   \n", "# import c\n", "\x0c\n"])))
    return "".join(lines)


# Hypothesis's health check fails the test should ast reject most of what is generated.
@settings(max_examples=GENERATED_EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(blocks(), line_ends)
def test_generated_programs_match_ast(program, line_end):
    source = program.replace("\n", line_end)
    expected = ast_records(source)
    assume(expected is not None)
    assert scan(source) == expected


def test_scan_keeps_no_memory_or_references():
    from test_leaks import PARSE_ROUNDS, check_growth, fresh, growth

    # Non-ASCII names take the normaliser's path through the interpreter.
    source = fresh("import os.\u00e9 as p, sys\nfrom ..pkg import (\ufb01 as b,\n  c)\n"
                   "if TYPE_CHECKING:\n    import t\nx = f'{y!r:>{w}}'  # \u00e9\n" * 8)
    surrogate = fresh("import a\n\udc80")
    before = sys.getrefcount(source), sys.getrefcount(surrogate)

    def one_round():
        records = scan(source)
        assert len(records) == 24 and records[1]["names"][0] == {"name": "fi", "asname": "b"}
        for bad in ((), (b"import a",), (None,), (source, source)):
            with pytest.raises(TypeError):
                scan(*bad)
        with pytest.raises(UnicodeEncodeError):
            scan(surrogate)

    check_growth(*growth(one_round, PARSE_ROUNDS // 4))
    assert (sys.getrefcount(source), sys.getrefcount(surrogate)) == before
