#!/usr/bin/env python3
"""Writes the sample project that ships in inst/extdata/sample_project.

    python3 tools/make_sample_project.py [destination]

The layout is the reference server's (src/server/README.md): one folder per
Study, Directory and File; each File holds file.json and one little-endian
binary64 file per numeric variable. Values are computed, so running the script
again gives the same bytes.
"""
import json
import math
import os
import shutil
import struct
import sys

UNDEF = 1.234e30
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
DEST = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "inst", "extdata", "sample_project")


def write_doubles(folder, name, values):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(struct.pack("<%dd" % len(values), *values))


def var(name, kind="float", bits=32, unit="", data=None, **extra):
    v = {"name": name, "kind": kind, "bit_length": bits, "format": 0, "ncar": 10, "ndig": 3,
         "unit": unit, "unit_symbol": unit}
    if data:
        v["data"] = data
    v.update(extra)
    return v


def coord(name, kind, unit="m"):
    return var(name, kind, 64, unit, name + ".bin")


def write_file(folder, desc, arrays):
    os.makedirs(folder)
    for name, values in arrays.items():
        write_doubles(folder, name + ".bin", values)
    desc = dict({"format": 1, "generation": 0}, **desc)
    with open(os.path.join(folder, "file.json"), "w") as f:
        json.dump(desc, f, indent=1)
        f.write("\n")


def grid3d(folder):
    nx, ny, nz = 4, 3, 2
    grade, simu, litho = [], [[], [], []], []
    # Server order: Z fastest, then Y, then X.
    for ix in range(nx):
        for iy in range(ny):
            for iz in range(nz):
                s = iz + nz * (iy + ny * ix)
                grade.append(UNDEF if s in (5, 13, 22) else round(1.0 + 0.25 * ix + 0.1 * iy + 0.5 * iz, 3))
                for k in range(3):
                    simu[k].append(round(0.5 * (k + 1) + 0.1 * s, 3))
                litho.append(["granite", "schist", "gneiss"][(ix + iy + iz) % 3])
    write_file(folder, {
        "type": "grid", "dimension": 3, "unit": "m",
        "grid": {"X0": 100.0, "Y0": 200.0, "Z0": 0.0, "DX": 10.0, "DY": 10.0, "DZ": 5.0,
                 "NX": nx, "NY": ny, "NZ": nz, "angle_z": 30.0, "angle_y": 0.0, "angle_x": 0.0},
        "variables": [
            var("Grade", unit="g/t", data="Grade.bin", comment="Assay grade; three nodes unknown"),
            var("Simu[xxxxx]", "macro", unit="g/t", data="Simu.bin",
                items=[{"index": 1, "alpha": "low"}, {"index": 2, "alpha": "mid"},
                       {"index": 3, "alpha": "high"}]),
            var("Lithology", "char", 8, alpha_length=8, values=litho),
        ]}, {"Grade": grade, "Simu": simu[0] + simu[1] + simu[2]})


def grid2d(folder):
    nx, ny = 5, 4
    depth = [round(50.0 + 2.0 * ix - 1.5 * iy, 3) for ix in range(nx) for iy in range(ny)]
    write_file(folder, {
        "type": "grid", "dimension": 2, "unit": "m",
        "grid": {"X0": 0.0, "Y0": 0.0, "Z0": 0.0, "DX": 25.0, "DY": 25.0, "DZ": 1.0,
                 "NX": nx, "NY": ny, "NZ": 1},
        "variables": [var("Depth", unit="m", data="Depth.bin")]}, {"Depth": depth})


def samples(folder):
    n = 12
    x = [round(10.0 + 7.5 * i + 3.0 * math.sin(i), 3) for i in range(n)]
    y = [round(20.0 + 4.0 * i - 2.0 * math.cos(i), 3) for i in range(n)]
    cu = [UNDEF if i == 4 else round(0.2 + 0.05 * i, 3) for i in range(n)]
    au = [round(1.5 - 0.1 * i, 3) for i in range(n)]
    inside = [1.0 if 3 <= i <= 8 else 0.0 for i in range(n)]
    write_file(folder, {
        "type": "points", "dimension": 2, "unit": "m", "s_number": n,
        "variables": [coord("X", "xg"), coord("Y", "yg"),
                      var("Cu", unit="%", data="Cu.bin"), var("Au", unit="g/t", data="Au.bin"),
                      var("Inside", "selection", 1, data="Inside.bin")]},
        {"X": x, "Y": y, "Cu": cu, "Au": au, "Inside": inside})


def lines(folder):
    counts = [4, 5, 3]
    x, y, g = [], [], []
    for line, c in enumerate(counts):
        for k in range(c):
            x.append(100.0 * line + 20.0 * max(k - 1, 0))
            y.append(50.0 * line)
            # The first sample of each line is its header: no measurement.
            g.append(UNDEF if k == 0 else round(9.81 + 0.001 * (10 * line + k), 4))
    write_file(folder, {
        "type": "gravity_lines", "dimension": 2, "unit": "m", "s_number": sum(counts), "line_counts": counts,
        "variables": [coord("X", "xg"), coord("Y", "yg"), var("Gravity", unit="mGal", data="Gravity.bin")]},
        {"X": x, "Y": y, "Gravity": g})


def cores(folder):
    counts = [3, 2]
    cols = {k: [] for k in ("X", "Y", "Z", "Xb", "Yb", "Zb", "Xe", "Ye", "Ze", "Grade")}
    for hole, c in enumerate(counts):
        for k in range(c):
            top, bottom = -2.0 * k, -2.0 * (k + 1)
            xs, ys = 500.0 + 30.0 * hole, 800.0
            for name, v in (("Xb", xs), ("Yb", ys), ("Zb", top), ("Xe", xs), ("Ye", ys), ("Ze", bottom),
                            ("X", xs), ("Y", ys), ("Z", (top + bottom) / 2)):
                cols[name].append(v)
            cols["Grade"].append(UNDEF if k == 0 else round(0.8 + 0.3 * hole + 0.1 * k, 3))
    write_file(folder, {
        "type": "core_lines", "dimension": 3, "unit": "m", "s_number": sum(counts), "line_counts": counts,
        "core_names": {"xb": "Xb", "yb": "Yb", "zb": "Zb", "xe": "Xe", "ye": "Ye", "ze": "Ze"},
        "variables": [coord("X", "xg"), coord("Y", "yg"), coord("Z", "zg")] +
                     [var(n, unit="m", data=n + ".bin") for n in ("Xb", "Yb", "Zb", "Xe", "Ye", "Ze")] +
                     [var("Grade", unit="%", data="Grade.bin")]},
        cols)


def main():
    if os.path.exists(DEST):
        shutil.rmtree(DEST)
    study = os.path.join(DEST, "Demo")
    mining = os.path.join(study, "Mining")
    os.makedirs(mining)
    with open(os.path.join(study, "study.json"), "w") as f:
        json.dump({"physical_name": "demo"}, f, indent=1)
        f.write("\n")
    grid3d(os.path.join(mining, "Grid3D"))
    grid2d(os.path.join(mining, "Grid2D"))
    samples(os.path.join(mining, "Samples"))
    lines(os.path.join(mining, "Lines"))
    cores(os.path.join(mining, "Cores"))
    print("sample project written to", os.path.normpath(DEST))


if __name__ == "__main__":
    main()
