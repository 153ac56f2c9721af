"""Several fill dates on the real CBERS time series: how much each added date helps.

    /usr/bin/python3 multidate.py BUILD_DIR SERIES_DIR WORK_DIR

For each target date and each kind of gap (scanner-like stripes, cloud holes)
the target is cut, every other date is given gaps of its own (stripes at
another phase, or clouds elsewhere), and the target is filled with the
refined fill from:
  - each of the 8 dates nearest in time alone (the best of them, and the
    nearest: the first date alone);
  - the 1, 2, 4 and 8 nearest dates together, nearest first (the two hazy
    dates, which nothing marks, are among them where they are near);
  - the two nearest clear dates, then the same with the nearest hazy date
    after them: what a hazy extra date costs.
RMSE over the target's gaps, all bands pooled, by /work/shared/tools/score.py.
Last, the RMSEs of 2, 4 and 8 dates summed over the cases.
Prints a Markdown table. Gaps are marked with the no-data value -9999.
"""
import json
import os
import subprocess
import sys
from datetime import date

import numpy as np
from osgeo import gdal

gdal.UseExceptions()

if len(sys.argv) != 4:
    sys.exit("usage: multidate.py BUILD_DIR SERIES_DIR WORK_DIR")
build, series, work = sys.argv[1:]
cli = os.path.join(build, "bin", "pelvane-cli")
score_tool = "/work/shared/tools/score.py"
NODATA = -9999
HAZY = {"2018-03-06", "2018-04-07"}
# Clear dates spread over the series, taken in turn as the target.
TARGETS = ["2018-02-18", "2018-04-23", "2018-05-25", "2018-06-26", "2018-07-28"]

files = sorted(f for f in os.listdir(series) if f.endswith(".tif"))
days = {f[-14:-4]: f for f in files}
stack = {d: gdal.Open(os.path.join(series, f)).ReadAsArray().astype(np.int16) for d, f in days.items()}
ref = gdal.Open(os.path.join(series, files[0]))
B, H, W = next(iter(stack.values())).shape
yy, xx = np.mgrid[0:H, 0:W]


def stripes(phase):
    """Tilted stripes 12 rows apart, widening from 2 to 4 pixels to the right."""
    centre = phase + 0.08 * xx
    d = np.abs(((yy - centre + 6) % 12) - 6)
    return d < (2 + 2 * xx / (W - 1)) / 2


def clouds(seed, count):
    """Round holes of 4 to 8 pixels radius at seeded places."""
    rng = np.random.default_rng(seed)
    mask = np.zeros((H, W), bool)
    for _ in range(count):
        cy, cx, r = rng.uniform(0, H), rng.uniform(0, W), rng.uniform(4, 8)
        mask |= (yy - cy) ** 2 + (xx - cx) ** 2 < r * r
    return mask


def write(path, arr):
    ds = gdal.GetDriverByName("GTiff").Create(path, W, H, B, gdal.GDT_Int16)
    ds.SetGeoTransform(ref.GetGeoTransform())
    ds.SetProjection(ref.GetProjection())
    for b in range(B):
        band = ds.GetRasterBand(b + 1)
        band.SetNoDataValue(NODATA)
        band.WriteArray(arr[b])
    ds = None


def with_gaps(arr, mask):
    out = arr.copy()
    out[:, mask] = NODATA
    return out


def run(case_dir, name, fills):
    out = os.path.join(case_dir, name + ".tif")
    cmd = [cli, "--target", os.path.join(case_dir, "target.tif"), "--output", out,
           "--nodata", "--refine", "--threads", "2", "-q"]
    for f in fills:
        cmd += ["--fill", os.path.join(case_dir, f + ".tif")]
    subprocess.run(cmd, check=True)
    got = subprocess.run(["/usr/bin/python3", score_tool, "--json",
                          os.path.join(case_dir, "truth.tif"), out, os.path.join(case_dir, "gaps.tif")],
                         check=True, capture_output=True, text=True)
    return json.loads(got.stdout)["overall_rmse"]


def nearest(target):
    """The other dates, nearest in time first (the earlier of two as near)."""
    t = date.fromisoformat(target)
    return sorted((d for d in days if d != target),
                  key=lambda d: (abs((date.fromisoformat(d) - t).days), d))


def fmt(x):
    return f"{x:.1f}"


print("| target | gaps | best single date | first date alone | 2 dates | 4 dates | 8 dates "
      "| 4 vs best single | 2 clear dates | + hazy date |")
print("|---|---|---|---|---|---|---|---|---|---|")
summed = {2: 0.0, 4: 0.0, 8: 0.0}
for target in TARGETS:
    order = nearest(target)
    for kind in ("stripes", "clouds"):
        case_dir = os.path.join(work, f"{target}_{kind}")
        os.makedirs(case_dir, exist_ok=True)
        truth = stack[target]
        seed = int(target.replace("-", ""))
        target_gaps = stripes(0) if kind == "stripes" else clouds(seed, 4)
        write(os.path.join(case_dir, "truth.tif"), truth)
        write(os.path.join(case_dir, "target.tif"), with_gaps(truth, target_gaps))
        gaps = gdal.GetDriverByName("GTiff").Create(os.path.join(case_dir, "gaps.tif"), W, H, 1, gdal.GDT_Byte)
        gaps.GetRasterBand(1).WriteArray(target_gaps.astype(np.uint8))
        gaps = None
        # Each other date misses pixels of its own.
        for i, d in enumerate(order):
            own = stripes(3 + 5 * i) if kind == "stripes" else clouds(seed + 1 + i, 2)
            write(os.path.join(case_dir, d + ".tif"), with_gaps(stack[d], own))
        singles = {d: run(case_dir, "single_" + d, [d]) for d in order[:8]}
        together = {k: run(case_dir, f"nearest_{k}", order[:k]) for k in (2, 4, 8)}
        clear = [d for d in order if d not in HAZY][:2]
        hazy = [d for d in order if d in HAZY][0]
        clear_rmse = run(case_dir, "clear_2", clear)
        hazy_rmse = run(case_dir, "clear_2_hazy", clear + [hazy])
        for k in summed:
            summed[k] += together[k]
        best = min(singles.values())
        first = singles[order[0]]
        print(f"| {target} | {kind} | {fmt(best)} | {fmt(first)} ({order[0]}) | {fmt(together[2])} "
              f"| {fmt(together[4])} | {fmt(together[8])} | {100 * (together[4] / best - 1):+.0f} % "
              f"| {fmt(clear_rmse)} | {fmt(hazy_rmse)} ({100 * (hazy_rmse / clear_rmse - 1):+.1f} %, {hazy}) |",
              flush=True)
print()
print("Summed over the cases: " + ", ".join(f"{fmt(v)} with {k} dates" for k, v in summed.items()))
