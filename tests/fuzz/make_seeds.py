#!/usr/bin/env python3
"""Writes the committed seed corpus: for every fuzz target 24 small inputs
(8 for the slow coo_wide) of deterministic pseudo-random bytes, the first
byte of each cycling through the four export families. Every byte string
is a meaningful input (the targets read their decisions byte by byte), so
these seeds already reach each operation; fuzz.sh grows them into a working
corpus elsewhere.

    /usr/bin/python3 tests/fuzz/make_seeds.py
"""
import pathlib
import random

TARGETS = ["copy_import", "view_ops", "coo", "coo_wide", "slice", "stack", "take", "compute", "edit"]
root = pathlib.Path(__file__).resolve().parent / "corpus"
for t in TARGETS:
    rng = random.Random(t)
    d = root / t
    d.mkdir(parents=True, exist_ok=True)
    for old in d.glob("seed-*"):
        old.unlink()
    for k in range(8 if t == "coo_wide" else 24):
        size = rng.choice([12, 24, 48, 96, 160, 256])
        body = bytes([k % 4]) + bytes(rng.randrange(256) for _ in range(size - 1))
        (d / f"seed-{k:02d}").write_bytes(body)
