"""SQLAlchemy's own dialect compliance suite, as shipped in the package."""
from sqlalchemy.testing.suite import *  # noqa: F401,F403
