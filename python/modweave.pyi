"""Types of the native module: import statements and module dependency graphs of Python source."""

from collections.abc import Callable, Iterable, Iterator
from types import ModuleType
from typing import Final, Literal, NotRequired, TypedDict, final, type_check_only

__all__ = ["DepNode", "DepGraph", "GraphBuilder", "parser"]

# The dictionaries below are built by the module itself; they exist for type checkers only, so
# import them under `if TYPE_CHECKING:`.

@type_check_only
class AliasRecord(TypedDict):
    name: str
    asname: NotRequired[str]

@type_check_only
class ImportRecord(TypedDict):
    type: Literal["import"]
    names: NotRequired[list[AliasRecord]]

@type_check_only
class ImportFromRecord(TypedDict):
    type: Literal["import_from"]
    module: NotRequired[str]
    level: NotRequired[int]
    names: NotRequired[list[AliasRecord]]

@type_check_only
class ScannedImportRecord(ImportRecord):
    line: int
    type_checking: NotRequired[Literal[True]]

@type_check_only
class ScannedImportFromRecord(ImportFromRecord):
    line: int
    type_checking: NotRequired[Literal[True]]

@type_check_only
class SpecRecord(TypedDict):
    name: str
    origin: str | None

@type_check_only
class UnresolvedRecord(TypedDict):
    name: str
    importer: str
    line: int | None

@type_check_only
class _ParserModule(ModuleType):
    __all__: list[str]
    @staticmethod
    def parse(source: str) -> list[ImportRecord | ImportFromRecord]: ...
    @staticmethod
    def scan(source: str) -> list[ScannedImportRecord | ScannedImportFromRecord]:
        """The import statements the interpreter's own parser finds, in source order."""

parser: Final[_ParserModule]

class PanicException(BaseException):
    """Raised when native code called from Python fails internally.

    It derives from BaseException, not Exception, so `except Exception` does not catch it.
    """

@final
class DepNode:
    @property
    def name(self) -> str: ...
    @property
    def spec(self) -> SpecRecord: ...
    @property
    def dependents(self) -> set[str]:
        """The names of the modules that import this one."""
    @property
    def depth(self) -> int | None: ...
    @property
    def dependencies(self) -> int:
        """The number of modules this one imports; each read also writes it to descriptor 1."""
    @property
    def imports(self) -> set[str]:
        """The names of the modules this one imports."""

@final
class DepGraph:
    def size(self) -> int: ...
    def num_dependencies(self) -> int: ...
    def keys(self) -> set[str]: ...
    def get(self, name: str) -> DepNode: ...
    def get_all_scoped(self, scope: str) -> list[DepNode]: ...
    def origins(self) -> list[str]: ...
    def names(self) -> list[str]: ...
    def unresolved(self) -> list[UnresolvedRecord]:
        """Each imported name that found no module, with its importer and the statement's line
        (None where the reader gives no lines), by importer and then in source order."""
    def __len__(self) -> int: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __getitem__(self, name: str, /) -> DepNode:
        """A copy of the named node; KeyError for a name the graph does not hold."""
    def __iter__(self) -> Iterator[str]:
        """The names of the nodes, in the order of `names()`."""

@final
class GraphBuilder:
    def __new__(
        cls,
        verbose: bool | None = None,
        *,
        exact: bool | None = False,
        type_checking: bool | None = True,
        expand_only: Iterable[str] | None = None,
        never_expand: Iterable[str] | None = None,
        exclude: Iterable[str] | None = None,
        progress: Callable[[int], object] | None = None,
    ) -> GraphBuilder:
        """`exact`: read with the exact scanner, resolve without importing, true depths.
        `type_checking`: follow imports under `if TYPE_CHECKING:`. `expand_only`, `never_expand`
        and `exclude` take dotted-name prefixes ("a.b" covers a.b and a.b.*): read only covered
        modules, attach covered modules as unread leaves, leave covered modules out.
        `progress(modules_reached)` is called during a build, at most ten times a second."""
    def build(self, source: str, package: str | None = None) -> DepGraph: ...
    def build_modules(self, modules: Iterable[str]) -> DepGraph:
        """The graph whose root imports each of `modules` (absolute dotted names), as a text of one
        `import` statement per name would, names no statement could spell included."""
