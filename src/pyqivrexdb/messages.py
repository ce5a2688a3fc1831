"""Messages of one connection: the server's notices and notifications.

The library delivers a message while a call on the connection runs (on
PostgreSQL a notification comes with the first call after its sender
committed). A connection of the standard face takes its own messages from
the first handler it gets, or the first ``notifies()``, on: they reach that
connection's handlers and queue, and no other connection's.
"""

import collections
import time
import typing

from . import qxcore as _qxcore

# Notifications kept for notifies() while nobody asks: the oldest go first.
MAX_PENDING = 10000

# How often notifies() asks the library for what arrived, in seconds.
POLL_INTERVAL = 0.05


class Notify(typing.NamedTuple):
    """A notification: its channel (None when the library cannot name it),
    its payload, and the user type a channel named by a number gives (else
    0)."""

    channel: typing.Optional[str]
    payload: str
    usertype: int


class Receiver:
    """What one connection does with its messages; the library calls it with
    (text, usertype, channel), usertype None for a server notice. It holds no
    reference to the connection, so a dropped connection is still collected."""

    def __init__(self):
        self.notice_handlers = []
        self.notify_handlers = []
        self.pending = collections.deque(maxlen=MAX_PENDING)

    def __call__(self, text, usertype, channel):
        if usertype is None:
            if not self.notice_handlers:
                _qxcore.srvsendlog(text)  # as without a receiver: the debug log
            for handler in list(self.notice_handlers):
                handler(text)
            return
        note = Notify(channel, text, usertype)
        self.pending.append(note)
        for handler in list(self.notify_handlers):
            handler(note)


class Wait:
    """The rule of notifies() on every face: hand out what is queued, else
    have the library deliver what arrived, else pause, until `timeout`
    seconds have passed since the start (None: no end) or `stop_after`
    notifications have been given."""

    def __init__(self, receiver, timeout, stop_after):
        self.pending = receiver.pending
        self.deadline = None if timeout is None else time.monotonic() + timeout
        self.left = stop_after

    def done(self):
        return self.left is not None and self.left <= 0

    def take(self):
        """The next notification queued, or None."""
        if not self.pending:
            return None
        if self.left is not None:
            self.left -= 1
        return self.pending.popleft()

    def pause(self):
        """Seconds to wait before asking again, or None when time is up."""
        if self.deadline is None:
            return POLL_INTERVAL
        left = self.deadline - time.monotonic()
        return None if left <= 0 else min(POLL_INTERVAL, left)


def notifies(receiver, poll, timeout=None, stop_after=None):
    """The notifications of a receiver as they come, by the rule of Wait.
    `poll()` makes a call on the connection so that what arrived is
    delivered."""
    wait = Wait(receiver, timeout, stop_after)
    while not wait.done():
        if not wait.pending:
            poll()
        note = wait.take()
        if note is not None:
            yield note
            continue
        pause = wait.pause()
        if pause is None:
            return
        time.sleep(pause)
