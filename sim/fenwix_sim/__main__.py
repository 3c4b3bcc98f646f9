"""Entry point of ``python -m fenwix_sim``; see ``fenwix_sim.cli``."""

import sys

from .cli import main

sys.exit(main())
