"""What the qivrex dialect supports, for SQLAlchemy's compliance suite.

The engine runs SQLite's SQL, so most answers are SQLite's. Each feature it
lacks is closed with its reason, which pytest prints beside every test it
skips (-r s). SQLAlchemy's defaults stand for the rest.
"""
import os

from sqlalchemy.testing import exclusions
from sqlalchemy.testing.requirements import SuiteRequirements


class Requirements(SuiteRequirements):
    def get_isolation_levels(self, config):
        return {"default": "SERIALIZABLE",
                "supported": ["READ UNCOMMITTED", "SERIALIZABLE", "AUTOCOMMIT"]}

    def get_order_by_collation(self, config):
        return "NOCASE"


# Off by default in SQLAlchemy's suite, and there: SQLite's SQL and catalogue.
SUPPORTED = """
    autocommit boolean_col_expressions isolation_level savepoints dbapi_lastrowid
    computed_columns computed_columns_stored computed_columns_virtual
    computed_columns_reflect_persisted create_table_as create_temp_table_as
    ctes ctes_on_dml ctes_with_update_delete ctes_with_values except_ intersect
    expression_server_defaults server_defaults index_ddl_if_exists table_ddl_if_exists
    indexes_with_expressions nullsordering order_by_label_with_expression tuple_in
    update_from views temp_table_names temporary_views has_temp_table
    window_functions window_range window_range_numeric window_range_non_numeric
    json_type table_value_constructor deferrable_fks timestamp_microseconds
    datetime_historic supports_bitwise_and supports_bitwise_or supports_bitwise_not
    supports_bitwise_shift supports_bitwise_xor infinity_floats uuid_data_type
    check_constraint_reflection inline_check_constraint_reflection
    foreign_key_constraint_name_reflection
    foreign_key_constraint_option_reflection_ondelete
    foreign_key_constraint_option_reflection_onupdate
    fk_constraint_option_reflection_ondelete_noaction
    fk_constraint_option_reflection_ondelete_restrict
    fk_constraint_option_reflection_onupdate_restrict
    reflect_indexes_with_expressions reflect_table_options reflects_pk_names
    repeated_column_foreign_keys indexes_check_column_order
    datetime_literals mod_operator_as_percent_sign legacy_unconditional_json_extract
    float_or_double_precision_behaves_generically skip_autocommit_rollback
    repeated_remote_col_foreign_keys nvarchar_types unicode_data unicode_ddl
""".split()

_SQLITE = "SQLite, which the engine runs, "
_REFLECTION = "SQLAlchemy's SQLite reflection, which the dialect uses, "
_DOUBLE = "the engine keeps NUMERIC and DECIMAL in an 8-byte double"

UNSUPPORTED = {
    "date_historic": "the engine's DATE holds 1900-01-01 to 2078-12-31 only",
    "implicitly_named_constraints": _SQLITE + "leaves a constraint declared without a name unnamed",
    "table_value_constructor": _SQLITE + "takes no column names after a VALUES list's alias",
    "window_range_non_numeric": _SQLITE + "keeps DateTime as text; RANGE frames need numbers",
    "parens_in_union_contained_select_w_limit_offset": _SQLITE + "takes no parentheses around a SELECT in a UNION",
    "parens_in_union_contained_select_wo_limit_offset": _SQLITE + "takes no parentheses around a SELECT in a UNION",
    "reflect_indexes_with_expressions": _REFLECTION + "skips expression indexes",
    "column_collation_reflection": _REFLECTION + "reads no column collations",
    "precision_numerics_many_significant_digits": _DOUBLE,
    "precision_numerics_retains_significant_digits": _DOUBLE,
    "regexp_match": _SQLITE + "calls a Python function for REGEXP, and the engine runs no Python",
    "regexp_replace": _SQLITE + "has no regexp_replace()",
    "comment_reflection": _SQLITE + "keeps no comments on tables and columns",
    "comment_reflection_full_unicode": _SQLITE + "keeps no comments on tables and columns",
    "temp_table_comment_reflection": _SQLITE + "keeps no comments on tables and columns",
    "identity_columns": _SQLITE + "has no GENERATED AS IDENTITY",
    "fetch_first": _SQLITE + "has LIMIT/OFFSET, not FETCH FIRST",
    "fetch_no_order_by": _SQLITE + "has LIMIT/OFFSET, not FETCH FIRST",
    "fetch_expression": _SQLITE + "has LIMIT/OFFSET, not FETCH FIRST",
    "fetch_percent": _SQLITE + "has LIMIT/OFFSET, not FETCH FIRST",
    "fetch_ties": _SQLITE + "has LIMIT/OFFSET, not FETCH FIRST",
    "fetch_offset_with_options": _SQLITE + "has LIMIT/OFFSET, not FETCH FIRST",
    "materialized_views": _SQLITE + "has no materialized views",
    "create_or_replace_view": _SQLITE + "has no CREATE OR REPLACE VIEW",
    "delete_from": _SQLITE + "deletes from one table only",
    "index_reflects_included_columns": _SQLITE + "has no INCLUDE columns in indexes",
    "cross_schema_fk_reflection": _SQLITE + "cannot point a foreign key into another attached database",
    "schema_create_delete": "schemas are attached database files; there is no CREATE SCHEMA",
}

for _name in SUPPORTED:
    setattr(Requirements, _name, property(lambda self: exclusions.open()))
for _name, _reason in UNSUPPORTED.items():
    setattr(Requirements, _name, property(lambda self, reason=_reason: exclusions.closed(reason)))

# run_pg.py runs the suite against postgresql+qivrex, whose answers are
# PostgreSQL's (setup.cfg names this module, and --requirements does not
# override it).
if os.environ.get("QX_SUITE_BACKEND") == "postgresql":
    from requirements_pg import UNSUPPORTED, Requirements  # noqa: F811,E402
