"""The `quillon` command-line tool: attach, read and strip C2PA provenance
data in GGUF, SafeTensors and ONNX model files. `main(argv)` runs one command
line and returns its exit status."""

from quillon_cli.cli import main

__all__ = ["main"]
