"""Runs the vardel command line: python -m vardel encode data.json"""

import sys

from vardel.cli import main

if __name__ == "__main__":
    sys.exit(main())
