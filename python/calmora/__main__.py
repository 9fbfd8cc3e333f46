"""python3 -m calmora COMMAND: the package's commands.

batch stabilises many files on a Dask cluster (calmora.batch); single
files are the calmora command line's, or calmora.stabilise_file().
"""

import argparse
import sys

from . import batch


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m calmora")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    batch.add_command(commands)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
