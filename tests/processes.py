"""A process's children and descendants, listed through Linux's /proc."""
import os
from pathlib import Path


def children(pid: int) -> list[int]:
    """Direct children of `pid`; threads and processes that end while being listed are passed
    over rather than failing the listing."""
    found = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return found
    for task in tasks:
        try:
            found += map(int, Path(f"/proc/{pid}/task/{task}/children").read_text().split())
        except FileNotFoundError:
            continue
    return found


def descendants(pid: int) -> set[int]:
    found: set[int] = set()
    for child in children(pid):
        found |= {child} | descendants(child)
    return found
