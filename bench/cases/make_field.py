#!/usr/bin/env python3
"""Writes one field of a field series of a benchmark case: the entry file with
the magnetic scattering-length density N_p of every magnetic layer multiplied
by FACTOR (the magnetization along the field at that field), every other line
as it is.

    make_field.py FACTOR IN.ent OUT.ent
"""
import sys


def scaled(line, factor):
    fields = line.split(None, 1)
    if len(fields) == 2 and fields[1].startswith("N_p") and float(fields[0]) != 0.0:
        value = round(float(fields[0]) * factor, 5)
        return f"{value!r:<12}{fields[1]}"
    return line


if __name__ == "__main__":
    factor = float(sys.argv[1])
    with open(sys.argv[2]) as f:
        lines = f.read().split("\n")
    with open(sys.argv[3], "w") as f:
        f.write("\n".join(scaled(line, factor) for line in lines))
