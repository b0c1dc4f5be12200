"""The interpreter's own answer to what modweave.parser.scan must find: the Import and ImportFrom
nodes of `ast`, in source order, as records of scan's shape."""

import ast
import warnings


def is_type_checking_test(test):
    """`TYPE_CHECKING`, or a chain of names ending in `.TYPE_CHECKING`."""
    if isinstance(test, ast.Name):
        return test.id == "TYPE_CHECKING"
    if not (isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"):
        return False
    value = test.value
    while isinstance(value, ast.Attribute):
        value = value.value
    return isinstance(value, ast.Name)


def record(node, type_checking):
    names = [{"name": a.name, **({"asname": a.asname} if a.asname else {})} for a in node.names]
    if isinstance(node, ast.Import):
        result = {"type": "import", "names": names}
    else:
        result = {"type": "import_from", "module": node.module or "", "level": node.level,
                  "names": names}
    result["line"] = node.lineno
    if type_checking:
        result["type_checking"] = True
    return result


def ast_records(source):
    """The records of `source` (a str; a leading byte-order mark is dropped, as reading the file's
    bytes would), or None when the interpreter rejects it."""
    source = source.removeprefix("\ufeff")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid escapes and the like in old files
        try:
            tree = ast.parse(source)
        except (SyntaxError, ValueError):
            return None
    found = []
    pending = [(tree, False)]
    while pending:
        node, type_checking = pending.pop()
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            found.append((node.lineno, node.col_offset, record(node, type_checking)))
        for field, value in ast.iter_fields(node):
            inside = type_checking or (
                isinstance(node, ast.If) and field == "body" and is_type_checking_test(node.test))
            for child in value if isinstance(value, list) else [value]:
                if isinstance(child, ast.AST):
                    pending.append((child, inside))
    return [entry for _, _, entry in sorted(found, key=lambda item: item[:2])]
