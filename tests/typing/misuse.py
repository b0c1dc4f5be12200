# Each marked line must be rejected by mypy through the stub, with the error code named after it.
import modweave

graph = modweave.GraphBuilder().build(b"import os")  # E: arg-type
depth: int = graph.get("os").depth  # E: assignment
modweave.GraphBuilder(verbose=1)  # E: arg-type
record = modweave.parser.parse("import os")[0]
record["nope"]  # E: typeddict-item
modweave.DepGraph.size  # fine: the class exists
graph.dependencies  # E: attr-defined
count: str = graph.get("os").dependencies  # E: assignment
