"""`python -m kestrane_acq ...`: the kestrane command, for an environment whose scripts are not on
PATH."""

import sys

from kestrane_acq.cli import main

sys.exit(main())
