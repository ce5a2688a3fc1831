"""Rows of the durability suite's table `t`, shared with its child
processes: each row is a function of its id, so a torn or shifted record
shows."""
import datetime

TABLE = ("create table t(id integer primary key, name varchar(24), day date, "
         "amount double, check_ integer)")
RECORD = 4 + 24 + 2 + 8 + 4


def row(i):
    return [i, "Строка %08d" % i, datetime.date(1990, 1, 1) + datetime.timedelta(days=i % 30000),
            i * 0.5, (i * 2654435761) % 2147483647]
