"""Fuzz target: zerbano.mrz.parse, with and without repair, and check_digit.

The first byte picks repair and the form of the text (one string, a list or tuple of lines, a
generator, or something that is no text); the rest is the text, one byte a character, mostly
from the zone's alphabet (the seeds are the five layouts' specimen zones). parse must return
an MRZ or raise MRZError (TypeError for what is no text); the result must compare, hash,
pickle and convert to JSON, and parsing its lines again must give it back.
"""

import json
import pickle
import sys

import fuzzlib

ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<"
# Bytes 0-36 are the alphabet; 37-63 other characters; 64-255 the alphabet again.
OTHERS = ["\n", " ", "\r\n", "\t", "\x00", "\u2028", "\x0b", "o", "l", "a", "é", "«", "\udcff",
          "\u00a0", "<<", "\n\n", "K<<", "0", "O", "1", "I", "5", "S", "8", "B", "\x1c", "\ufeff"]
SHAPES = ["str", "list", "tuple", "generator", "bytes", "number", "list-with-bytes"]
LAYOUTS = {"TD1", "TD2", "TD3", "MRVA", "MRVB"}


def _import():
    import zerbano.mrz

    return zerbano.mrz


try:
    if __name__ == "__main__":
        import atheris

        with atheris.instrument_imports(include=["zerbano.mrz"]):
            mrz = _import()
    else:
        mrz = _import()
    SKIP = None
except ImportError as error:  # the package is not there yet on this branch
    mrz = None
    SKIP = f"SKIP: zerbano.mrz cannot be imported ({error})"


def decode(data):
    return "".join(
        ALPHABET[byte % 64 % len(ALPHABET)] if byte < 37 or byte >= 64 else OTHERS[byte - 37]
        for byte in data
    )


def encode(text):
    """The bytes `decode` turns into `text` (for the seeds)."""
    return bytes(ALPHABET.index(char) if char in ALPHABET else 37 + OTHERS.index(char)
                 for char in text)


def argument(shape, text):
    lines = text.split("\n")
    if shape == "str":
        return text
    if shape == "list":
        return lines
    if shape == "tuple":
        return tuple(lines)
    if shape == "generator":
        return (line for line in lines)
    if shape == "bytes":
        return text.encode("utf-8", "surrogatepass")
    if shape == "number":
        return len(text)
    return lines[:1] + [line.encode("utf-8", "surrogatepass") for line in lines[1:]]


def check(result, repair):
    if not isinstance(result, mrz.MRZ) or result.format not in LAYOUTS:
        raise AssertionError(f"parse returned {result!r:.200}")
    if pickle.loads(pickle.dumps(result)) != result:
        raise AssertionError("the result does not survive pickling")
    hash(result)
    json.dumps(result.to_dict())
    again = mrz.parse(result.lines)
    if not repair and again != result:
        raise AssertionError(f"parsing the lines again gave {again!r:.200}")
    if again.lines != result.lines or again.valid != result.valid:
        raise AssertionError(f"the repaired lines parse to {again!r:.200}")
    if repair and not result.repairs and again != result:
        raise AssertionError("a result without repairs differs from the text's own")


def one_input(data):
    if mrz is None:
        return
    source = fuzzlib.Input(data)
    flags = source.byte()
    repair = bool(flags & 1)
    shape = SHAPES[(flags >> 1) % len(SHAPES)]
    text = decode(source.rest())
    try:
        result = mrz.parse(argument(shape, text), repair=repair)
    except mrz.MRZError:
        pass
    except TypeError:
        if shape in ("str", "list", "tuple", "generator"):
            raise
    else:
        check(result, repair)
    for field in text.split("\n")[:1]:
        try:
            digit = mrz.check_digit(field)
        except mrz.MRZError:
            continue
        if len(digit) != 1 or digit not in "0123456789":
            raise AssertionError(f"check_digit({field!r}) gave {digit!r}")


if __name__ == "__main__":
    if SKIP:
        print(SKIP)
        sys.exit(0)
    fuzzlib.main(one_input, max_len=512)
