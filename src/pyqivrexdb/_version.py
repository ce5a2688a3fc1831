"""The package's version: its one home (pyproject.toml reads it from here)."""
version = "0.1.0"
