"""The .dump command: SQL that makes the database (or some of its tables)
again, schema and rows, in an order it can be run in, by .read or by the
shell reading it from standard input.

Rows go as one INSERT each on the engine. On PostgreSQL they go as the
server's own COPY text, in a COPY ... FROM stdin block (as pg_dump writes
them), where the library reads COPY data; else as one INSERT of many rows
for each range of the table's blocks. The server quotes each
value itself (text, blobs, dates, NULL), so rows arrive as ready literals,
those of neighbouring columns joined in one text; on the engine a REAL
value comes as a double, written with its shortest digits that read back as
the same double (the engine's own text of a double is not exact).
Triggers come after the rows, so that loading the rows fires none.
"""

import codecs

from .. import _rowtext
from .catalog import _literal, catalog, quote_name

_UNQUOTED_PG = frozenset(("int2", "int4", "int8", "oid", "bool"))
# On PostgreSQL, the rows of about this much of a table go in one INSERT,
# and a fetch brings STATEMENTS_A_FETCH of them: pages of tens of MiB cost
# more in the kernel's zeroing of fresh memory than they save.
STATEMENT_BYTES = 64 * 1024
STATEMENTS_A_FETCH = 32


def command(shell, args):
    tables = {a.lower() for a in args} or None
    with shell.db.snapshot():  # every table as of one moment
        (_engine if shell.db.dialect == "engine" else _postgresql)(shell.db, shell.out.write, tables)


def _engine(db, write, tables):
    cat = catalog(db)
    shadows = cat.shadow_tables()  # a virtual table makes its own again
    found = [o for o in cat.objects(tables=tables) if o.table not in shadows]
    write("PRAGMA foreign_keys=OFF;\nBEGIN TRANSACTION;\n")
    for table in (o for o in found if o.kind == "table"):
        write(table.sql + ";\n")
        exprs, shape, run = [], "", False
        for name, affinity in cat.columns(table.name):
            col = quote_name(name)
            if affinity in ("integer", "text"):
                if run:  # one text for a run of quoted values
                    exprs[-1] += " || ',' || quote(%s)" % col
                else:
                    exprs.append("quote(%s)" % col)
                    shape += "q"
                run = True
                continue
            run = False
            # may hold a REAL: the double itself, else its literal
            exprs.append("case typeof(%s) when 'real' then %s end, "
                         "case when typeof(%s) <> 'real' then quote(%s) end" % (col, col, col, col))
            shape += "rq"
        head = "INSERT INTO %s VALUES(" % quote_name(table.name)
        for rows in db.pages("select %s from %s;" % (", ".join(exprs), quote_name(table.name))):
            write(_rowtext.insert_lines(rows, head, shape))
    for line in cat.sequences(tables):
        write(line + "\n")
    for o in found:
        if o.kind != "table":
            write(o.sql + ";\n")
    write("COMMIT;\n")


# Settings that change how the server writes values as text, each with a
# test of whether its value writes them so that they read back the same,
# and the value the dump uses when not: an interval written in the
# sql_standard style reads back as another interval in the others
# ('-1 2:03:04' is minus one day plus two hours there). A double's text is
# exact already: the connection keeps extra_float_digits above 0.
_EXACT_TEXT = (("intervalstyle", lambda v: v != "sql_standard", "postgres"),)


def _postgresql(db, write, tables):
    changed = []  # a session that had them otherwise gets them back after
    try:
        for name, exact, value in _EXACT_TEXT:
            now = db.rows("select current_setting(%s);" % _literal(name))[0][0]
            if not exact(now):
                db.rows("select set_config(%s, %s, false);" % (_literal(name), _literal(value)))
                changed.append((name, now))
        return _pg_dump(db, write, tables)
    finally:
        for name, now in changed:
            db.rows("select set_config(%s, %s, false);" % (_literal(name), _literal(now)))


def _pg_dump(db, write, tables):
    cat = catalog(db)
    found = cat.objects(tables=tables)
    # A function's body may name tables made after it.
    write("BEGIN;\nSET LOCAL check_function_bodies = false;\n")
    for kind in ("type", "sequence", "function"):
        for o in found:
            if o.kind == kind:
                write(o.sql + "\n")
    made = [o for o in found if o.kind == "table"]
    for table in made:
        write(cat.create_table(table, foreign_keys=False) + "\n")
        _pg_rows(db, cat, table, write)
    for line in cat.sequences(tables):
        write(line + "\n")
    # Foreign keys once every table has its rows: in any order of tables,
    # a row may then name a row of its own table that comes after it.
    for table in made:
        for line in cat.foreign_keys(table):
            write(line + "\n")
    # Views before indexes: a materialized view may have indexes of its own.
    for kind in ("view", "index", "trigger"):
        for o in found:
            if o.kind == kind:
                write(o.sql + "\n")
    write("COMMIT;\n")


def _pg_rows(db, cat, table, write):
    names = [quote_name(name) for name, _, _, generated in cat.columns(table) if not generated]
    # A partitioned table keeps no rows of its own, and cannot be copied.
    if names and not db.rows("select relkind = 'p' from pg_class where oid = %d;" % table.oid)[0][0]:
        head = "COPY %s (%s) " % (quote_name(table.name), ", ".join(names))
        # COPY reads a table's own rows, never those of its children
        pieces = db.copy_out(head + "TO STDOUT;")
        if pieces is not None:
            write(head + "FROM stdin;\n")
            text = codecs.getincrementaldecoder("utf-8")()
            for piece in pieces:
                write(text.decode(piece))
            write(text.decode(b"", True) + "\\.\n\n")
            return
    _pg_inserts(db, cat, table, write)


def _pg_inserts(db, cat, table, write):
    """The server writes each row's values as one text, and joins those of
    a range of the table's blocks into one INSERT of many rows: a result row
    a table row cost us more than the rest of the dump (a million rows of
    seven columns: 0.85 s of processor time for the whole shell against
    0.50 s)."""
    names, values, always = [], [], False
    columns = cat.columns(table)
    for name, typname, identity, generated in columns:
        if generated:
            continue  # made by the server from the others
        col = quote_name(name)
        names.append(col)
        values.append(("coalesce(%s::text, 'NULL')" if typname in _UNQUOTED_PG else "quote_nullable(%s)") % col)
        always |= identity == "a"
    if not values:
        return
    listed = " (%s)" % ", ".join(names) if len(names) < len(columns) else ""
    head = "INSERT INTO %s%s%s VALUES(" % (quote_name(table.name), listed, " OVERRIDING SYSTEM VALUE" if always else "")
    row = " || ',' || ".join(values)
    blocks = _blocks_a_statement(db, table)
    if blocks:
        # The blocks are counted as the statement begins: a row its
        # snapshot sees is in one of them. Both ranges have names of their
        # own, so that no column of the table hides the first block's number.
        sql = ("select v from generate_series(0::int8, pg_relation_size(%d) / current_setting('block_size')::int8, %d) "
               "qx_blocks(first), lateral (select string_agg(%s, E'),\\n(') v from %s qx_rows "
               "where ctid >= ('(' || qx_blocks.first || ',0)')::tid "
               "and ctid < ('(' || least(qx_blocks.first + %d, 4294967295) || ',0)')::tid) s where v is not null;"
               % (table.oid, blocks, row, quote_name(table.name), blocks))
        pages = db.pages(sql, STATEMENTS_A_FETCH)
    else:
        # ONLY: a parent's select would bring its children's rows too, which
        # the children write themselves
        pages = db.pages("select %s from only %s;" % (row, quote_name(table.name)))
    for rows in pages:
        write(_rowtext.insert_lines(rows, head, "q"))


def _blocks_a_statement(db, table):
    """How many of a table's blocks make about STATEMENT_BYTES of it, out of
    line values counted; None when its rows cannot be read by blocks (a
    server before 14, a partitioned table or one others inherit from)."""
    fits, main, whole, block = db.rows(
        "select c.relkind = 'r' and not c.relhassubclass and current_setting('server_version_num')::int >= 140000, "
        "pg_relation_size(c.oid), pg_table_size(c.oid), current_setting('block_size')::int "
        "from pg_class c where c.oid = %d;" % table.oid)[0]
    if not fits:
        return None
    return max(1, STATEMENT_BYTES * main // max(whole, 1) // block)
