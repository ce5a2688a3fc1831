"""A short session through the embedded engine touching every part of the
driver: logging on, statements with and without results, every element type
both ways, return values, transactions, server messages, bulk loading,
errors, and logging off. Run by tools/check-valgrind under memcheck."""

import datetime
import gc

import pyqivrexdb
from pyqivrexdb import qxcore
from pyqivrexdb.errors import Error

LAYOUT = ("c char(6), a binary(3), b byte, i smallint, w word, d date, n nmbr, l integer, "
          "u dword, f float, m money, x double")
ROWS = [
    ["Привет", "00ab10", 0, -32767, 0, datetime.date(1900, 1, 1), 0, -2147483647, 0, 0.5, 0.01, -1e300],
    ["abc", b"ff", 254, 32767, 65534, datetime.date(2078, 12, 31), 16777214, 2147483647, 4294967294,
     -2.25, 12.5, 3.0],
]


def session(rounds):
    messages = []
    for _ in range(rounds):
        with pyqivrexdb.connect(":memory:", "клерк", "пароль") as conn:
            conn.server_version(), conn.server_address(), conn.client_address()
            conn.send_callback(messages.append)
            conn.usersend_callback(lambda m, t: messages.append((m, t)))
            conn.execute("create table t (%s);" % LAYOUT)
            qxcore.HEAPCTRL = 64
            conn.addrecords("t", ROWS * 20)
            with conn.cursor(err_to_user=True) as cur:
                cur.execute("select * from t;")
                cur.description
                cur.fetchone(), cur.fetchmany(3), list(cur)
                cur.execute("select * from t where l > %s;", (0,))
                cur.fetchall()
                cur.execute("select count(*) from t;")
                cur.fetchall(), cur.retcode()
                for bad in ("select * from missing;", "select €;"):
                    try:
                        cur.execute(bad)
                    except (Error, UnicodeError):
                        pass
                cur.execute("select * from t;")
                cur.fetchmany(2)  # an abandoned read: close() ends it
            conn.begin("T1", ["t"])
            conn.execute("delete from t where b = 0;")
            conn.commit("T1")
            try:
                conn.rollback("NOPE")
            except Error:
                pass
            conn.addrecords("t", [])
            try:
                conn.addrecords("t", [ROWS[0][:3]])
            except IndexError:
                pass
        gc.collect()
    return messages


if __name__ == "__main__":
    session(3)
    print("session done")
