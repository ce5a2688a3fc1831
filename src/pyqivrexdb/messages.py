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


# What the rule of notifies() asks its face to do before it goes on: have
# the library deliver what arrived (a call on the connection).
POLL = "poll"


def steps(receiver, timeout, stop_after):
    """The rule of notifies() on every face, which each carries out in its
    own way: hand out what is queued (a Notify), else POLL, else pause (the
    seconds), until `timeout` seconds have passed since the start (None: no
    end) or `stop_after` notifications have been given."""
    pending = receiver.pending
    deadline = None if timeout is None else time.monotonic() + timeout
    left = stop_after
    while left is None or left > 0:
        if not pending:
            yield POLL
        if pending:
            if left is not None:
                left -= 1
            yield pending.popleft()
            continue
        if deadline is None:
            yield POLL_INTERVAL
            continue
        rest = deadline - time.monotonic()
        if rest <= 0:
            return
        yield min(POLL_INTERVAL, rest)


def notifies(receiver, poll, timeout=None, stop_after=None):
    """The notifications of a receiver as they come, by the rule of steps().
    `poll()` makes a call on the connection so that what arrived is
    delivered."""
    for step in steps(receiver, timeout, stop_after):
        if step is POLL:
            poll()
        elif isinstance(step, Notify):
            yield step
        else:
            time.sleep(step)
