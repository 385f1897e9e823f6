"""`python -m quillon_cli`, the same as the `quillon` command."""

import sys

from quillon_cli import main

if __name__ == "__main__":
    sys.exit(main())
