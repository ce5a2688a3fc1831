"""What a database holds, each object with its own definition: tables,
indexes, views and triggers (and on PostgreSQL the sequences and functions
they use), for .tables, .indexes, .schema and .dump.

The engine keeps each object's CREATE statement as it was written. A
PostgreSQL server keeps none, so a table's is built from its catalog:
columns, types, defaults, NOT NULL and its constraints. The library's own
checks (qx_fit_*) are left out: it makes them again for a table created
through it.
"""


class Object:
    """kind: table, view, index, trigger, and on PostgreSQL type (enums and
    domains), sequence (one no column owns) or function; `table`
    the table it belongs to (its own name for a table or view)."""

    def __init__(self, kind, name, table, sql, oid=None):
        self.kind, self.name, self.table, self.sql, self.oid = kind, name, table, sql, oid


def catalog(db):
    return EngineCatalog(db) if db.dialect == "engine" else PgCatalog(db)


def quote_name(name):
    """A name as SQL reads it: as it is when it is a plain lower-case word."""
    if name and (name[0].isalpha() or name[0] == "_") and name.isascii() and \
            all(c.isalnum() or c == "_" for c in name) and name == name.lower() and name.upper() not in _RESERVED:
        return name
    return '"%s"' % name.replace('"', '""')


_RESERVED = frozenset("""ALL ANALYSE ANALYZE AND ANY ARRAY AS ASC ASYMMETRIC BOTH CASE CAST CHECK COLLATE COLUMN
CONSTRAINT CREATE CURRENT_CATALOG CURRENT_DATE CURRENT_ROLE CURRENT_TIME CURRENT_TIMESTAMP CURRENT_USER DEFAULT
DEFERRABLE DELETE DESC DISTINCT DO DROP ELSE END EXCEPT FALSE FETCH FOR FOREIGN FROM GRANT GROUP HAVING IN INDEX
INITIALLY INSERT INTERSECT INTO IS JOIN KEY LATERAL LEADING LIMIT LOCALTIME LOCALTIMESTAMP NOT NULL OFFSET ON ONLY OR
ORDER PLACING PRIMARY REFERENCES RETURNING SELECT SESSION_USER SET SOME SYMMETRIC TABLE THEN TO TRAILING TRUE UNION
UNIQUE UPDATE USER USING VALUES VARIADIC VIEW WHEN WHERE WINDOW WITH""".split())


def _literal(text):
    return "'%s'" % text.replace("'", "''")


class EngineCatalog:
    def __init__(self, db):
        self.db = db

    def objects(self, kinds=None, tables=None):
        """The objects in the order they were created (which is an order
        they can be created in again)."""
        rows = self.db.rows("select type, name, tbl_name, sql from sqlite_master "
                            "where sql is not null and name not like 'sqlite\\_%' escape '\\' order by rowid;")
        found = [Object(*r) for r in rows]
        return [o for o in found if (kinds is None or o.kind in kinds)
                and (tables is None or o.table.lower() in tables)]

    def shadow_tables(self):
        """The tables a virtual table keeps its data in (made again with it)."""
        return {r[0] for r in self.db.rows("select name from pragma_table_list "
                                           "where schema = 'main' and type = 'shadow';")}

    def columns(self, table):
        """(name, affinity) of each column: integer, text, blob, real or numeric."""
        rows = self.db.rows("select name, type from pragma_table_info(%s);" % _literal(table))
        return [(name, _affinity(decl or "")) for name, decl in rows]

    def sequences(self, tables):
        """Statements that set the counters of AUTOINCREMENT tables."""
        if not self.db.rows("select 1 from sqlite_master where name = 'sqlite_sequence';"):
            return []
        rows = self.db.rows("select name, seq from sqlite_sequence order by rowid;")
        # Loading the rows has made the table's own counter already.
        return ["DELETE FROM sqlite_sequence WHERE name = %s;\nINSERT INTO sqlite_sequence VALUES(%s,%d);"
                % (_literal(n), _literal(n), s) for n, s in rows if tables is None or n.lower() in tables]


def _affinity(decl):
    """How the engine stores a column's values, from its declared type."""
    d = decl.upper()
    if "INT" in d:
        return "integer"
    if "CHAR" in d or "CLOB" in d or "TEXT" in d:
        return "text"
    if "BLOB" in d or not d:
        return "blob"
    if "REAL" in d or "FLOA" in d or "DOUB" in d:
        return "real"
    return "numeric"


# -- PostgreSQL ------------------------------------------------------------------

_IN_SCHEMA = "n.nspname = current_schema()"
_OWN_CHECK = "qx\\_fit\\_%%"  # in a %-formatted query

_PG_TABLES = ("select c.oid, c.relname from pg_class c join pg_namespace n on n.oid = c.relnamespace "
              "where c.relkind in ('r', 'p') and " + _IN_SCHEMA + " order by c.oid;")
# Each table's parents (a partition's one, an inheriting table's in order).
_PG_PARENTS = "select inhrelid, inhparent from pg_inherits order by inhrelid, inhseqno;"
# How a table is made from others: its partition key, the bound it has as a
# partition (with its parent), the parents it inherits from.
_PG_FAMILY = ("select case when c.relkind = 'p' then pg_get_partkeydef(c.oid) end, "
              "case when c.relispartition then pg_get_expr(c.relpartbound, c.oid) end, "
              "(select string_agg(quote_ident(p.relname), ', ' order by i.inhseqno) from pg_inherits i "
              "join pg_class p on p.oid = i.inhparent where i.inhrelid = c.oid) "
              "from pg_class c where c.oid = %d;")
# The types the columns of some tables use, and what those are made of (a
# domain's base type, an array's element), to any depth.
_PG_USED_TYPES = ("with recursive used(oid) as (select a.atttypid from pg_attribute a where a.attrelid in (%s) "
                  "and a.attnum > 0 and not a.attisdropped union select x from used u join pg_type t on t.oid = u.oid, "
                  "lateral (values (t.typbasetype), (t.typelem)) v(x) where x <> 0) select oid from used;")
_PG_VIEWS = ("select c.oid, c.relname, c.relkind, pg_get_viewdef(c.oid, true) from pg_class c "
             "join pg_namespace n on n.oid = c.relnamespace where c.relkind in ('v', 'm') and " + _IN_SCHEMA +
             " order by c.oid;")
# Which relations each view's rule reads.
_PG_VIEW_READS = ("select distinct r.ev_class, d.refobjid from pg_rewrite r join pg_depend d "
                  "on d.classid = 'pg_rewrite'::regclass and d.objid = r.oid "
                  "and d.refclassid = 'pg_class'::regclass where d.refobjid <> r.ev_class;")
_PG_COLUMNS = ("select a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull, "
               "pg_get_expr(d.adbin, d.adrelid), a.attidentity, a.attgenerated, "
               "pg_get_serial_sequence(%s, a.attname), t.typname, a.attislocal "
               "from pg_attribute a join pg_type t on t.oid = a.atttypid "
               "left join pg_attrdef d on d.adrelid = a.attrelid and d.adnum = a.attnum "
               "where a.attrelid = %d and a.attnum > 0 and not a.attisdropped order by a.attnum;")
_PG_CONSTRAINTS = ("select conname, contype, pg_get_constraintdef(oid, true) from pg_constraint "
                   "where conrelid = %d and contype in ('p', 'u', 'c', 'f', 'x') and conname not like '" +
                   _OWN_CHECK + "' and conislocal and conparentid = 0 order by case contype when 'p' then 0 when 'u' then 1 when 'c' then 2 "
                   "when 'x' then 3 else 4 end, oid;")
_PG_INDEXES = ("select i.indexrelid, c.relname, t.relname, pg_get_indexdef(i.indexrelid) from pg_index i "
               "join pg_class c on c.oid = i.indexrelid join pg_class t on t.oid = i.indrelid "
               "join pg_namespace n on n.oid = t.relnamespace where " + _IN_SCHEMA +
               " and not exists (select 1 from pg_constraint k where k.conindid = i.indexrelid "
               "and k.contype in ('p', 'u', 'x')) and not c.relispartition order by i.indexrelid;")
_PG_TRIGGERS = ("select g.oid, g.tgname, t.relname, pg_get_triggerdef(g.oid, true), g.tgfoid from pg_trigger g "
                "join pg_class t on t.oid = g.tgrelid join pg_namespace n on n.oid = t.relnamespace "
                "where not g.tgisinternal and " + _IN_SCHEMA + " and not exists (select 1 from pg_depend d "
                "where d.classid = 'pg_trigger'::regclass and d.objid = g.oid and d.deptype = 'P') "
                "order by g.oid;")  # not the copies a partitioned table's trigger makes on its partitions
_PG_FUNCTIONS = ("select p.oid, p.proname, pg_get_functiondef(p.oid) from pg_proc p "
                 "join pg_namespace n on n.oid = p.pronamespace where p.prokind in ('f', 'p') and " + _IN_SCHEMA +
                 " order by p.oid;")
_SERIALS = {"int4": "serial", "int8": "bigserial", "int2": "smallserial"}
_PG_ENUMS = ("select t.oid, t.typname, array_to_string(array_agg(quote_literal(e.enumlabel) "
             "order by e.enumsortorder), ', ') from pg_type t join pg_enum e on e.enumtypid = t.oid "
             "join pg_namespace n on n.oid = t.typnamespace where " + _IN_SCHEMA + " group by t.oid order by t.oid;")
_PG_DOMAINS = ("select t.oid, t.typname, format_type(t.typbasetype, t.typtypmod), t.typdefault, t.typnotnull, "
               "(select string_agg(' CONSTRAINT ' || quote_ident(k.conname) || ' ' || pg_get_constraintdef(k.oid), '' "
               "order by k.oid) from pg_constraint k where k.contypid = t.oid) "
               "from pg_type t join pg_namespace n on n.oid = t.typnamespace where t.typtype = 'd' and " +
               _IN_SCHEMA + " order by t.oid;")
# Sequences no column owns (a serial's or an identity's is made with it).
_PG_SEQUENCES = ("select c.oid, c.relname, s.seqstart, s.seqincrement, s.seqmin, s.seqmax, s.seqcycle, q.last_value "
                 "from pg_class c join pg_namespace n on n.oid = c.relnamespace "
                 "join pg_sequence s on s.seqrelid = c.oid "
                 "join pg_sequences q on q.schemaname = n.nspname and q.sequencename = c.relname "
                 "where c.relkind = 'S' and " + _IN_SCHEMA + " and not exists (select 1 from pg_depend d "
                 "where d.objid = c.oid and d.deptype in ('a', 'i')) order by c.oid;")


class PgCatalog:
    def __init__(self, db):
        self.db = db

    def objects(self, kinds=None, tables=None):
        """Types, sequences, functions, tables, indexes, views and triggers,
        each kind in the order it was created."""
        rows = self.db.rows
        want = (lambda k: kinds is None or k in kinds)
        # The server names the schema in an index's, a trigger's and a
        # function's definition: without it they make the object in the
        # schema of whoever reads them, as the tables and views do.
        here = rows("select quote_ident(current_schema()) || '.';")[0][0]
        out = []
        if want("type"):
            # with some tables only, the types their columns need
            needed = None if tables is None else self._types_used(tables)
            out += [Object("type", name, name, "CREATE TYPE %s AS ENUM (%s);" % (quote_name(name), labels), oid)
                    for oid, name, labels in rows(_PG_ENUMS) if needed is None or oid in needed]
            for oid, name, base, default, notnull, checks in rows(_PG_DOMAINS):
                if needed is not None and oid not in needed:
                    continue
                sql = "CREATE DOMAIN %s AS %s%s%s%s;" % (quote_name(name), base, "" if default is None else
                                                          " DEFAULT " + default, " NOT NULL" if notnull else "",
                                                          checks or "")
                out.append(Object("type", name, name, sql, oid))
        if want("sequence") and tables is None:
            for oid, name, start, step, low, high, cycle, last in rows(_PG_SEQUENCES):
                sql = "CREATE SEQUENCE %s START WITH %d INCREMENT BY %d MINVALUE %d MAXVALUE %d%s;" % (
                    quote_name(name), start, step, low, high, " CYCLE" if cycle else "")
                if last is not None:
                    sql += "\nSELECT pg_catalog.setval(%s, %d);" % (_literal(quote_name(name)), last)
                out.append(Object("sequence", name, name, sql, oid))
        triggers = rows(_PG_TRIGGERS) if want("trigger") else []
        if want("function"):
            # with some tables only, the functions their triggers call
            called = {r[4] for r in triggers if tables is None or r[2].lower() in tables}
            out += [Object("function", name, name, sql.rstrip().replace(here, "", 1) + ";", oid)
                    for oid, name, sql in rows(_PG_FUNCTIONS) if tables is None or oid in called]
        if want("table"):
            out += _after_what_they_need([Object("table", name, name, None, oid) for oid, name in rows(_PG_TABLES)],
                                         rows(_PG_PARENTS))
        if want("index"):
            out += [Object("index", name, table, sql.replace(here, "", 1) + ";", oid)
                    for oid, name, table, sql in rows(_PG_INDEXES)]
        if want("view"):
            views = [Object("view", name, name, "%s %s AS\n%s" % ("CREATE MATERIALIZED VIEW" if kind == "m" else
                                                                "CREATE VIEW", quote_name(name), body.rstrip()), oid)
                     for oid, name, kind, body in rows(_PG_VIEWS)]
            # the views each reads in the order they were made
            out += _after_what_they_need(views, sorted(rows(_PG_VIEW_READS)))
        if want("trigger"):
            out += [Object("trigger", name, table, sql.replace(here, "", 2) + ";", oid)
                    for oid, name, table, sql, _ in triggers]
        out = [o for o in out if tables is None or o.kind in ("function", "type") or o.table.lower() in tables]
        for o in out:
            if o.kind == "table":
                o.sql = self.create_table(o)
        return out

    def _types_used(self, tables):
        oids = [oid for oid, name in self.db.rows(_PG_TABLES) if name.lower() in tables]
        return {r[0] for r in self.db.rows(_PG_USED_TYPES % ", ".join(map(str, oids)))} if oids else set()

    def table_parts(self, table):
        """The column definitions, the constraints other than foreign keys,
        and the foreign keys, of a table, as clauses of its CREATE TABLE;
        those it takes from a parent table left out."""
        cols = []
        for name, typ, notnull, default, identity, generated, serial, typname, local in self.db.rows(
                _PG_COLUMNS % (_literal(quote_name(table.name)), table.oid)):
            if not local:
                continue
            text = "%s %s" % (quote_name(name), typ)
            if serial and default and default.startswith("nextval(") and typname in _SERIALS:
                text = "%s %s" % (quote_name(name), _SERIALS[typname])
                notnull = False  # said by serial
            elif identity:
                text += " GENERATED %s AS IDENTITY" % ("ALWAYS" if identity == "a" else "BY DEFAULT")
            elif generated == "s":
                text += " GENERATED ALWAYS AS (%s) STORED" % default
            elif default is not None:
                text += " DEFAULT %s" % default
            if notnull:
                text += " NOT NULL"
            cols.append(text)
        keys, foreign = [], []
        for name, kind, definition in self.db.rows(_PG_CONSTRAINTS % table.oid):
            clause = "CONSTRAINT %s %s" % (quote_name(name), definition)
            (foreign if kind == "f" else keys).append(clause)
        return cols, keys, foreign

    def create_table(self, table, foreign_keys=True):
        cols, keys, foreign = self.table_parts(table)
        body = cols + keys + (foreign if foreign_keys else [])
        key, bound, parents = self.db.rows(_PG_FAMILY % table.oid)[0]
        name = quote_name(table.name)
        if bound is not None:  # a partition: its columns are its parent's
            head = "CREATE TABLE %s PARTITION OF %s" % (name, parents)
            sql = head + (" (\n  %s\n)" % ",\n  ".join(keys + (foreign if foreign_keys else [])) if keys or (
                foreign and foreign_keys) else "") + " " + bound
        else:
            sql = "CREATE TABLE %s (\n  %s\n)" % (name, ",\n  ".join(body))
            if parents:
                sql += " INHERITS (%s)" % parents
        if key is not None:
            sql += " PARTITION BY " + key
        return sql + ";"

    def foreign_keys(self, table):
        return ["ALTER TABLE %s ADD %s;" % (quote_name(table.name), clause) for clause in self.table_parts(table)[2]]

    def columns(self, table):
        """(name, type name, identity, generated) of each column."""
        rows = self.db.rows("select a.attname, t.typname, a.attidentity, a.attgenerated from pg_attribute a "
                            "join pg_type t on t.oid = a.atttypid where a.attrelid = %d and a.attnum > 0 "
                            "and not a.attisdropped order by a.attnum;" % table.oid)
        return [tuple(r) for r in rows]

    def sequences(self, tables):
        """Statements that set the sequences of serial and identity columns
        where their tables' rows left them."""
        rows = self.db.rows(
            "select s.relname, t.relname, q.last_value from pg_depend d "
            "join pg_class s on s.oid = d.objid and s.relkind = 'S' join pg_class t on t.oid = d.refobjid "
            "join pg_namespace n on n.oid = s.relnamespace join pg_sequences q on q.schemaname = n.nspname "
            "and q.sequencename = s.relname where d.deptype in ('a', 'i') and " + _IN_SCHEMA + " order by s.oid;")
        return ["SELECT pg_catalog.setval(%s, %d);" % (_literal(quote_name(seq)), last)
                for seq, table, last in rows
                if last is not None and (tables is None or table.lower() in tables)]


def _after_what_they_need(objects, needs):
    """The objects in the order they were made, except that each comes after
    those it needs: (oid, oid it needs) pairs, a table's parents (ALTER TABLE
    ... INHERIT and ATTACH PARTITION may give an older table a newer parent)
    or the views a view reads (CREATE OR REPLACE VIEW may make an older view
    read a newer one)."""
    needed = {}
    for oid, need in needs:
        needed.setdefault(oid, []).append(need)
    by_oid = {o.oid: o for o in objects}
    out, seen = [], set()

    def place(oid):
        if oid in seen or oid not in by_oid:
            return
        seen.add(oid)
        for need in needed.get(oid, ()):
            place(need)
        out.append(by_oid[oid])

    for o in objects:
        place(o.oid)
    return out
