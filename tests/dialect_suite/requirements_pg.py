"""What the PostgreSQL dialect over pyqivrexdb supports, for SQLAlchemy's
compliance suite: SQLAlchemy's own answers for PostgreSQL, less what the
driver reads or writes differently. Each closed feature carries its reason,
which pytest prints beside every test it skips (-r s)."""
from sqlalchemy.testing import exclusions
from sqlalchemy.testing.requirements import SuiteRequirements


class Requirements(SuiteRequirements):
    def get_isolation_levels(self, config):
        return {"default": "READ COMMITTED",
                "supported": ["AUTOCOMMIT", "SERIALIZABLE", "READ UNCOMMITTED", "READ COMMITTED",
                              "REPEATABLE READ"]}

    def get_order_by_collation(self, config):
        return "POSIX"


# Off by default in SQLAlchemy's suite, and there on PostgreSQL.
SUPPORTED = """
    autocommit isolation_level savepoints boolean_col_expressions
    ctes ctes_on_dml ctes_with_update_delete ctes_with_values except_ intersect
    expression_server_defaults server_defaults index_ddl_if_exists table_ddl_if_exists
    indexes_with_expressions nullsordering order_by_label_with_expression tuple_in
    update_from delete_from views temp_table_names temporary_views has_temp_table
    window_functions window_range window_range_numeric json_type
    computed_columns_stored identity_columns
    check_constraint_reflection foreign_key_constraint_option_reflection_ondelete
    foreign_key_constraint_option_reflection_onupdate fk_constraint_option_reflection_ondelete_noaction
    fk_constraint_option_reflection_ondelete_restrict fk_constraint_option_reflection_onupdate_restrict
    deferrable_fks fetch_first fetch_ties fetch_expression fetch_no_order_by fetch_offset_with_options
    timestamp_microseconds datetime_timezone time_timezone uuid_data_type schemas
    cross_schema_fk_reflection comment_reflection create_or_replace_view materialized_views
    reflects_pk_names reflect_table_options indexes_check_column_order
    supports_bitwise_and supports_bitwise_or supports_bitwise_not supports_bitwise_xor
    supports_bitwise_shift mod_operator_as_percent_sign float_or_double_precision_behaves_generically
    infinity_floats regexp_match regexp_replace create_table_as schema_create_delete
    implicitly_named_constraints index_reflects_included_columns supports_distinct_on
    reflect_indexes_with_expressions unique_constraints_reflect_as_index
    skip_autocommit_rollback column_collation_reflection inline_check_constraint_reflection
    identity_columns_standard create_temp_table_as temp_table_comment_reflection datetime_literals
    precision_numerics_many_significant_digits precision_numerics_retains_significant_digits
    precision_numerics_enotation_large unicode_data unicode_ddl comment_reflection_full_unicode
    array_type datetime_interval window_range_non_numeric
""".split()

UNSUPPORTED = {
    "server_side_cursors": "the driver's cursors hold the whole result; there are no named server-side cursors",
    "computed_columns": "PostgreSQL before 18 has no VIRTUAL generated columns, which Computed() "
                        "without persisted= means (SQLAlchemy warns)",
    "nvarchar_types": "PostgreSQL has no NVARCHAR",
    "fetch_percent": "PostgreSQL has no FETCH FIRST ... PERCENT",
    "legacy_unconditional_json_extract": "PostgreSQL compares JSON elements only with a type given",
    "dbapi_lastrowid": "PostgreSQL has no row id to report; RETURNING gives keys",
    "repeated_column_foreign_keys": "PostgreSQL refuses a foreign key that names a referenced column twice",
    "two_phase_transactions": "the dialect runs no two-phase commit through the driver",
}

for _name in SUPPORTED:
    setattr(Requirements, _name, property(lambda self: exclusions.open()))
for _name, _reason in UNSUPPORTED.items():
    setattr(Requirements, _name, property(lambda self, reason=_reason: exclusions.closed(reason)))
