"""The lock a reader's calls take, which a fork cannot leave held for ever.

A forked child has only the thread that forked, and a call that another thread was
making at the fork is half done there, its lock held for ever. Before the fork each free
reader's lock is taken, so that no call starts meanwhile; in the child the readers that
were busy refuse every call at once. (The core does the same for its own lock, and
finishes batches being read ahead.)
"""

from __future__ import annotations

import os
import threading
import weakref


class CallLock:
    """The lock that serves a reader's calls one at a time. ``lost_at_fork``: in a forked
    child, another thread was inside a call at the fork, and that call is not to be
    trusted; the lock is then a new one."""

    __slots__ = ("lock", "lost_at_fork", "__weakref__")

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.lost_at_fork = False
        _LOCKS.add(self)


# Every reader's lock, for a fork.
_LOCKS: weakref.WeakSet[CallLock] = weakref.WeakSet()
_HELD_FOR_FORK: list[CallLock] = []
_BUSY_AT_FORK: list[CallLock] = []


def _before_fork() -> None:
    for calls in list(_LOCKS):
        if calls.lock.acquire(blocking=False):
            _HELD_FOR_FORK.append(calls)
        else:
            _BUSY_AT_FORK.append(calls)


def _after_fork_in_parent() -> None:
    for calls in _HELD_FOR_FORK:
        calls.lock.release()
    _HELD_FOR_FORK.clear()
    _BUSY_AT_FORK.clear()


def _after_fork_in_child() -> None:
    for calls in _BUSY_AT_FORK:
        calls.lock = threading.Lock()
        calls.lost_at_fork = True
    _after_fork_in_parent()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(
        before=_before_fork, after_in_parent=_after_fork_in_parent, after_in_child=_after_fork_in_child
    )
