"""`python -m quillon_cli`, the same as the `quillon` command."""

from quillon_cli.cli import program

if __name__ == "__main__":
    program()
