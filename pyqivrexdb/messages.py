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


def notifies(receiver, poll, timeout=None, stop_after=None):
    """The notifications of a receiver as they come, until `timeout` seconds
    have passed since the call (None: no end) or `stop_after` have been
    given. `poll()` makes a call on the connection so that what arrived
    is delivered."""
    given = 0
    deadline = None if timeout is None else time.monotonic() + timeout
    pending = receiver.pending
    while stop_after is None or given < stop_after:
        if not pending:
            poll()
        if pending:
            given += 1
            yield pending.popleft()
            continue
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            return
        time.sleep(POLL_INTERVAL if left is None else min(POLL_INTERVAL, left))
