"""SQLAlchemy's compliance suite against postgresql+qivrex on a throw-away
cluster (tests/pgcluster.py), from the folder it is run in:

    python tests/dialect_suite/run_pg.py [pytest arguments]

Exit status is pytest's."""
import os
import sys

import pytest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(here))
import pgcluster  # noqa: E402


def main(args):
    os.environ["QX_SUITE_BACKEND"] = "postgresql"  # requirements.py then answers for PostgreSQL
    cluster = pgcluster.Cluster().start()
    try:
        # The suite's second and third schemas.
        cluster.psql("create schema test_schema; create schema test_schema_2")
        uri = cluster.dsn().replace("postgresql://", "postgresql+qivrex://", 1)
        return pytest.main(["-c", os.path.join(here, "setup.cfg"), "--rootdir", here, "--dburi", uri, "-q", *args, here])
    finally:
        cluster.remove()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
