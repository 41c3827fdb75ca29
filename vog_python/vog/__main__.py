"""python3 -m vog: the vog command."""

import sys

from ._cli import main

sys.exit(main())
