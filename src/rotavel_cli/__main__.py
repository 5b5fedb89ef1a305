"""Entry point of `rotavel` and `python -m rotavel_cli`."""

import sys

from rotavel_cli.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
