"""Byte sizes as operators write them on a command line: ``64k``, ``512mb``, ``1gb``."""

import re

# Binary units: every suffix is a power of 1024, with or without "b" or
# "ib" after the letter, in any case ("64k" == "64KB" == "64KiB" == 65536).
_UNITS = {"": 0, "k": 1, "m": 2, "g": 3, "t": 4}
_SIZE = re.compile(r"([+-]?[0-9]+)\s*(?:([kmgt])(?:i?b)?|b)?", re.IGNORECASE)


def parse_size(text):
    """Returns the number of bytes ``text`` names: a whole number, optionally
    followed by a unit k, m, g or t (powers of 1024; "b" or "ib" may follow
    the letter, and a bare "b" means bytes). The sign is kept, so that the
    caller's range check can report a negative size as such.

    Raises ValueError for anything else (fractions included: a size is a
    whole number of units).
    """
    m = _SIZE.fullmatch(text.strip())
    if m is None:
        raise ValueError(f"invalid size {text!r}: expected a whole number of bytes, optionally with a unit k, m, g or t")
    return int(m.group(1)) * 1024 ** _UNITS[(m.group(2) or "").lower()]
