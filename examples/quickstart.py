"""Quickstart: the first thing a new qarn_py user runs."""

import qarn_py

print(f"qarn_py {qarn_py.__version__} (native {qarn_py._native.version()})")
