#!/usr/bin/env python3
"""How often zerbano.mrz's repair mends a confusion, and how often it mends a misread wrongly.

    python bench/mrz_repair.py [--count 3000] [--seed 1]

Generates valid zones (document numbers: 70% a letter or two then digits, 30% any letters and
digits), then, in each, (a) swaps one character of the document number for its partner in
`CONFUSIONS` and (b) apart from that, misreads one character of the number as another of its
kind (a digit for a digit, a letter for a letter), and parses both with `repair=True`. Each
outcome is counted as: repaired (back to the zone printed), wrong (a valid zone that is not
the printed one, after repairs), unseen (valid as read: the change leaves the check digit
as it was) or invalid (left as read, not valid). Also times `parse` on the printed zones.
"""

import argparse
import random
import time

from zerbano.mrz import check_digit, parse
from zerbano.mrz.text import CONFUSIONS

LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
DIGITS = "0123456789"


def written(layout, number, birth, expiry):
    """The zone of a made-up holder; the document number's (line, first column)."""
    number = number.ljust(9, "<")
    dates = birth + check_digit(birth) + "F" + expiry + check_digit(expiry)
    if layout == "TD1":
        top = "I<UTO" + number + check_digit(number) + "<" * 15
        middle = dates + "UTO" + "<" * 11
        middle += check_digit(top[5:30] + middle[0:7] + middle[8:15] + middle[18:29])
        return (top, middle, "ERIKSSON<<ANNA".ljust(30, "<")), (0, 5)
    bottom = number + check_digit(number) + "UTO" + dates
    if layout == "TD3":
        bottom += "<" * 14 + "0"
        bottom += check_digit(bottom[0:10] + bottom[13:20] + bottom[21:43])
        first = "P<UTO"
    else:
        bottom += "<" * 16
        first = "V<UTO"
    return ((first + "ERIKSSON<<ANNA").ljust(44, "<"), bottom), (1, 0)


def changed(lines, line, column, char):
    lines = list(lines)
    lines[line] = lines[line][:column] + char + lines[line][column + 1:]
    return tuple(lines)


def outcome(printed, read):
    mrz = parse(read, repair=True)
    if mrz.lines == printed and mrz.repairs:
        return "repaired"
    if mrz.valid:
        return "wrong" if mrz.repairs else "unseen"
    return "invalid"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    kinds = ("repaired", "wrong", "unseen", "invalid")
    print(f"{args.count} zones a layout, seed {args.seed}")
    print(f"{'layout':7} {'change':10} " + " ".join(f"{k:>9}" for k in kinds) + "  parse (us)")
    for layout in ("TD3", "TD1", "MRVA"):
        counts = {"confusion": dict.fromkeys(kinds, 0), "misread": dict.fromkeys(kinds, 0)}
        zones = []
        for _ in range(args.count):
            if rng.random() < 0.7:
                number = "".join(rng.choices(LETTERS, k=rng.choice((1, 2)))) + "".join(rng.choices(DIGITS, k=7))
            else:
                number = "".join(rng.choices(LETTERS + DIGITS, k=9))
            birth, expiry = ("".join(rng.choices(DIGITS, k=6)) for _ in range(2))
            printed, (line, start) = written(layout, number, birth, expiry)
            zones.append(printed)
            confusable = [start + i for i, char in enumerate(number) if char in CONFUSIONS]
            if confusable:
                column = rng.choice(confusable)
                char = printed[line][column]
                counts["confusion"][outcome(printed, changed(printed, line, column, CONFUSIONS[char][0]))] += 1
            column = start + rng.randrange(len(number))
            char = printed[line][column]
            other = rng.choice([c for c in (DIGITS if char in DIGITS else LETTERS) if c != char])
            counts["misread"][outcome(printed, changed(printed, line, column, other))] += 1
        begin = time.perf_counter()
        for zone in zones:
            parse(zone)
        micros = (time.perf_counter() - begin) / len(zones) * 1e6
        for change, tally in counts.items():
            total = sum(tally.values())
            cells = " ".join(f"{100 * tally[k] / total:8.1f}%" for k in kinds)
            print(f"{layout:7} {change:10} {cells}  {micros:6.1f}")


if __name__ == "__main__":
    main()
