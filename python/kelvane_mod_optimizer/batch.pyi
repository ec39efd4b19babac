import os
from collections.abc import Iterable
from typing import Any

def answer(
    requests: Iterable[dict[str, Any] | str],
    bundle: str | os.PathLike[str],
    client: Any = None,
    chunk_size: int | None = None,
) -> list[dict[str, Any] | str]: ...
