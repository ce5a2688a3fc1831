from typing import Any, Callable, Sequence

def table_lines(rows: Sequence[Sequence[Any]], widths: Sequence[int], right: Sequence[Any],
                text: Callable[[Any], str], /) -> str: ...
