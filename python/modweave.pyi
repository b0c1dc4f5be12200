"""Types of the native module: import statements and module dependency graphs of Python source."""

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
class _ParserModule(ModuleType):
    __all__: list[str]
    @staticmethod
    def parse(source: str) -> list[ImportRecord | ImportFromRecord]: ...
    @staticmethod
    def scan(source: str) -> list[ScannedImportRecord | ScannedImportFromRecord]:
        """The import statements the interpreter's own parser finds, in source order."""

parser: Final[_ParserModule]

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

@final
class DepGraph:
    def size(self) -> int: ...
    def num_dependencies(self) -> int: ...
    def keys(self) -> set[str]: ...
    def get(self, name: str) -> DepNode: ...
    def get_all_scoped(self, scope: str) -> list[DepNode]: ...
    def origins(self) -> list[str]: ...
    def names(self) -> list[str]: ...

@final
class GraphBuilder:
    def __new__(cls, verbose: bool | None = None) -> GraphBuilder: ...
    def build(self, source: str, package: str | None = None) -> DepGraph: ...
