# The toolkit's private native engine (src/engine): its API follows the toolkit and is
# documented in its docstrings, so the type checker sees every name as Any.
from typing import Any

def __getattr__(name: str) -> Any: ...
