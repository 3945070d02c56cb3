"""``python -m velk``: the command line (see ``python -m velk --help``)."""

import sys

from velk._cli import main

if __name__ == "__main__":
    sys.exit(main())
