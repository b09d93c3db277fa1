"""Helpers shared by the test files."""
import re


def counting(density):
    """A density taking separate floats that records every call, so calls can be counted."""
    def f(*x):
        f.calls.append(x)
        return density(*x)
    f.calls = []
    return f


def error_text(text):
    """A pytest.raises match pattern for an error whose text is exactly `text`, with or without
    the notes that explain its cause (pytest matches the text followed by the notes, one a line)."""
    return "^" + re.escape(text) + "(\n|$)"
