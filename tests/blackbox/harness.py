"""Starts the real executable (native, or the Windows build under wine) for black-box tests."""
