"""python -m pyqivrexdb DSN: the SQL shell (see pyqivrexdb.shell)."""
import sys

from .shell import main

sys.exit(main())
