"""The stamps of many files at once (Linux)."""

from typing import List, Optional

def stamp_texts(paths: List[str], recent: int, threads: int) -> List[Optional[str]]: ...
