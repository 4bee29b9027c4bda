"""Ctrl-C and SIGTERM for the command: raised where the program is, or held
back through a stretch that must not be cut in two.

Python runs signal handlers in the main thread, whichever thread of the
process the signal was delivered to (NumPy's and the pool's threads take
them too), so holding them here, rather than masking them in one thread,
holds them for the whole process.
"""

from __future__ import annotations

import signal
import sys

# Imported before Ctrl-C is taken over, so it keeps to the signal module.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional

HANDLED = (signal.SIGINT, signal.SIGTERM)


class Terminated(BaseException):
    """SIGTERM, raised where the program is so that it cleans up as for Ctrl-C."""


_held = False
# A signal that arrived while held, or one whose exception was raised and
# not yet seen by the command: Python runs handlers between any two
# bytecodes, finalisers and weakref callbacks included, which swallow what
# they raise. checkpoint() raises such a one again.
_pending: Optional[int] = None


def _interrupt_for(signum: int) -> BaseException:
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated()


def _handle(signum: int, frame: object) -> None:
    global _pending
    _pending = _pending or signum
    if not _held:
        raise _interrupt_for(signum)


def _unraisable(hook):
    """sys.unraisablehook that passes over the signal exceptions a finaliser
    or callback swallowed (checkpoint() raises them again), and leaves the
    rest to `hook`."""
    def unraisable(report) -> None:
        if not issubclass(report.exc_type, (KeyboardInterrupt, Terminated)):
            hook(report)
    return unraisable


def checkpoint() -> None:
    """Raises, where the program can stop, a signal's exception that was
    raised inside code that swallowed it. Nothing while held."""
    if _pending is not None and not _held:
        raise _interrupt_for(_pending)


def seen() -> None:
    """The command has seen the signal's exception: nothing is pending."""
    global _pending
    _pending = None


class installed:
    """Turns SIGINT and SIGTERM into KeyboardInterrupt and Terminated, or
    into a pending signal while held. The previous handlers come back after;
    or, with restore=False (a process that ends next), the signals are
    ignored from then on, so that one arriving once the exit status is
    decided cannot change it. (The interpreter's finalisation puts handlers
    it set back to the default action, which would end the process by the
    signal; an ignored signal it leaves ignored.) Only the main thread can
    set handlers: elsewhere this does nothing."""

    def __init__(self, restore: bool = True):
        self.restore = restore

    def __enter__(self) -> None:
        self.previous = {}
        self.hook = getattr(sys, "unraisablehook", None)  # Python 3.8 and later
        try:
            for signum in HANDLED:
                self.previous[signum] = signal.signal(signum, _handle)
            if self.hook is not None:
                sys.unraisablehook = _unraisable(self.hook)
        except ValueError:  # not the main thread
            pass

    def __exit__(self, *exception: object) -> None:
        global _held, _pending
        for signum, handler in self.previous.items():
            signal.signal(signum, handler if self.restore else signal.SIG_IGN)
        if self.previous and self.restore and self.hook is not None:
            sys.unraisablehook = self.hook
        _held, _pending = False, None


def hold() -> None:
    """From now until release(), a signal that arrives is kept pending."""
    global _held
    _held = True


def release() -> None:
    """Stops holding, and raises the exception of a signal that arrived meanwhile."""
    global _held, _pending
    signum, _held, _pending = _pending, False, None
    if signum is not None:
        raise _interrupt_for(signum)


class held:
    """A stretch that a signal does not cut; it stays pending afterwards, for
    release() or pending(), as an exception already on its way wins."""

    def __enter__(self) -> None:
        global _held
        self.before, _held = _held, True

    def __exit__(self, *exception: object) -> None:
        global _held
        _held = self.before


def pending() -> Optional[int]:
    """The signal that arrived while held and has not been raised, if any."""
    return _pending
