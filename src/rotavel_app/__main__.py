"""Entry point of `rotavel` and `python -m rotavel_app`."""

import sys

from rotavel_app.commands.main import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
