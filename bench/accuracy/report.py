"""Runs every fill method on every accuracy case, scores it against the truth
and writes docs/accuracy.md with its figures. bench/accuracy.sh prepares the
cases and calls this; see there for the one command.

    report.py --bin BIN_DIR --cases CASES_DIR --work WORK_DIR --docs DOCS_DIR
              [--repeat N] [--only NAME,...] [--method-figures]

CASES_DIR holds one folder per case (olinda, demo and the variants of
make_variants.py), each with truth.tif, target.tif, fill.tif and either the mask
files or, for demo, gaps.tif alone (valid-range mode). Outputs of the runs go to
WORK_DIR; DOCS_DIR receives accuracy.md, accuracy/*.png and, with
--method-figures, method/olinda_*.png.
"""
import argparse
import datetime
import json
import math
import os
import platform
import re
import statistics
import string
import subprocess
import sys
import time

import numpy as np
from osgeo import gdal

gdal.UseExceptions()
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# key, label, kind, settings
METHODS = [
    ("sarnic", "Pelvane Sarnic", "pelvane", ["--method", "sarnic"]),
    ("sarnic-refined", "Pelvane Sarnic, refined", "pelvane", ["--method", "sarnic", "--refine"]),
    ("tolvek", "Pelvane Tolvek", "pelvane", ["--method", "tolvek"]),
    ("tolvek-refined", "Pelvane Tolvek, refined", "pelvane", ["--method", "tolvek", "--refine"]),
    ("both", "Pelvane both", "pelvane", ["--method", "both"]),
    ("both-refined", "**Pelvane both, refined**", "pelvane", ["--method", "both", "--refine"]),
    ("gdal", "gdal_fillnodata (100 px, no smoothing)", "gdal", ["100", "0"]),
    ("gdal-300-s2", "gdal_fillnodata (300 px, 2 smoothing passes)", "gdal", ["300", "2"]),
    ("copy", "fill image copied", "copy", []),
]
LABEL = {k: label for k, label, _, _ in METHODS}
SETTLED = ["--max-iterations", "3000", "--tolerance", "1e-7"]
CLASSES = [("all", "all gaps"), ("fill", "fill valid"), ("both", "missing in both")]

OLINDA_TEXT = (
    "The bundled test case (`tests/data/olinda`, its README): the real Landsat 7 ETM+ "
    "scene (349 x 352 px, 6 Byte bands) with wedge-shaped scanner stripes cut into it; "
    "the fill image is a synthetic second date of the same scene (smooth gain and offset "
    "fields per band, noise of 1.5 DN, 3 patches of land change) with stripes of its own. "
    "Run with its mask files.")
DEMO_TEXT = (
    "The scene of `make run`: `pelvane-demo-scene` on the same real image, default seed "
    "(`demo/README.md`): other stripes, another second date. Run as `make run` does, "
    "with the valid range 1..255; the gap classes and the masks for the other methods "
    "come from its `gaps.tif`, which marks exactly the pixels that range leaves out.")


def fail(message):
    sys.exit(f"accuracy: {message}")


def read(path):
    return gdal.Open(path).ReadAsArray().astype(np.float64)


def write_byte(path, array):
    """One- or three-band Byte GeoTIFF or PNG (by the file name)."""
    array = array if array.ndim == 3 else array[None]
    mem = gdal.GetDriverByName("MEM").Create("", array.shape[2], array.shape[1], array.shape[0], gdal.GDT_Byte)
    for b in range(array.shape[0]):
        mem.GetRasterBand(b + 1).WriteArray(array[b])
    driver = "PNG" if path.endswith(".png") else "GTiff"
    gdal.GetDriverByName(driver).CreateCopy(path, mem)
    if os.path.exists(path + ".aux.xml"):
        os.remove(path + ".aux.xml")


# ---------------------------------------------------------------- cases

def widest_gap(gap):
    """Largest distance, in pixels (8-neighbourhood steps), from a gap pixel to a valid one."""
    reached, steps = ~gap, 0
    while not reached.all() and reached.any():
        grown = reached.copy()
        grown[1:, :] |= reached[:-1, :]
        grown[:-1, :] |= reached[1:, :]
        g2 = grown.copy()
        g2[:, 1:] |= grown[:, :-1]
        g2[:, :-1] |= grown[:, 1:]
        reached, steps = g2, steps + 1
    return steps


class Case:
    def __init__(self, name, folder, work):
        self.name, self.dir = name, folder
        self.work = os.path.join(work, name)
        os.makedirs(self.work, exist_ok=True)
        self.valid_range = not os.path.exists(os.path.join(folder, "target_mask.tif"))
        info_path = os.path.join(folder, "case.json")
        info = json.load(open(info_path)) if name != "olinda" and os.path.exists(info_path) else {}
        self.dn = info.get("dn_per_unit") or 1.0
        self.text = {"olinda": OLINDA_TEXT, "demo": DEMO_TEXT}.get(name, info.get("description", ""))
        self.truth = read(self.file("truth.tif")) * self.dn
        if self.valid_range:
            # The demo: classes from its gap map, mask files written for the other methods.
            gaps = read(self.file("gaps.tif"))
            self.tgap, fgap_in_tgap = gaps != 0, gaps == 2
            fill = read(self.file("fill.tif"))
            self.fgap = (fill < 1).any(axis=0) | (fill > 255).any(axis=0)
            if not np.array_equal(self.tgap & self.fgap, fgap_in_tgap):
                fail(f"{name}: gaps.tif does not match the fill image's gaps")
            self.tmask = os.path.join(self.work, "target_mask.tif")
            self.fmask = os.path.join(self.work, "fill_mask.tif")
            write_byte(self.tmask, (self.tgap * 255).astype(np.uint8))
            write_byte(self.fmask, (self.fgap * 255).astype(np.uint8))
        else:
            self.tmask, self.fmask = self.file("target_mask.tif"), self.file("fill_mask.tif")
            self.tgap, self.fgap = read(self.tmask) != 0, read(self.fmask) != 0
        self.cls = {"all": self.tgap, "fill": self.tgap & ~self.fgap, "both": self.tgap & self.fgap}
        self.widest = widest_gap(self.tgap)
        # A gap map of the three classes, for pelvane-score.
        self.class_map = os.path.join(self.work, "classes.tif")
        write_byte(self.class_map, self.tgap.astype(np.uint8) + self.cls["both"].astype(np.uint8))

    def file(self, name):
        return os.path.join(self.dir, name)

    def command(self, kind, settings, output):
        t, f = self.file("target.tif"), self.file("fill.tif")
        if kind == "pelvane":
            gaps = ["--valid-range", "1", "255"] if self.valid_range else \
                ["--target-mask", self.tmask, "--fill-mask", self.fmask]
            return [ARGS.cli, "-q", "--target", t, "--fill", f, "--output", output] + gaps + settings
        script = os.path.join(HERE, "baselines.py")
        if kind == "gdal":
            return [sys.executable, script, "gdal", t, self.tmask, output] + settings
        return [sys.executable, script, "copy", t, f, self.tmask, self.fmask, output]


# ---------------------------------------------------------------- runs and scores

def run_timed(command, repeat):
    """Median wall seconds of REPEAT runs of COMMAND (a process each)."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        times.append(time.perf_counter() - start)
        if done.returncode != 0:
            fail(f"this command failed (exit status {done.returncode}):\n  {' '.join(command)}\n{done.stderr}")
    return statistics.median(times)


def scores(case, filled):
    """{class: {"band": [per band dicts], "pooled": dict}} of rmse, mae, bias, r."""
    out = {}
    for cls, mask in case.cls.items():
        per_band = []
        if not mask.any():
            nan = {"rmse": math.nan, "mae": math.nan, "bias": math.nan, "r": math.nan}
            out[cls] = {"band": [nan] * case.truth.shape[0], "pooled": nan, "pixels": 0}
            continue
        f, t = filled[:, mask], case.truth[:, mask]
        e = f - t
        for b in range(e.shape[0]):
            ok = f[b].std() > 0 and t[b].std() > 0
            per_band.append({"rmse": float(np.sqrt((e[b] ** 2).mean())), "mae": float(np.abs(e[b]).mean()),
                             "bias": float(e[b].mean()),
                             "r": float(np.corrcoef(f[b], t[b])[0, 1]) if ok else math.nan})
        pooled = {"rmse": float(np.sqrt((e ** 2).mean())), "mae": float(np.abs(e).mean()),
                  "bias": float(e.mean()), "r": float(np.mean([p["r"] for p in per_band]))}
        out[cls] = {"band": per_band, "pooled": pooled, "pixels": int(mask.sum())}
    # Gross errors: gap pixels off by more than GROSS DN on average over the bands.
    e = filled - case.truth
    off = np.abs(e).mean(axis=0)
    gross = case.tgap & (off > GROSS)
    total = (e[:, case.tgap] ** 2).sum()
    rest = case.tgap & ~gross
    out["gross"] = {"pixels": int(gross.sum()),
                    "share": float((e[:, gross] ** 2).sum() / total) if total > 0 else 0.0,
                    "rmse_without": float(np.sqrt((e[:, rest] ** 2).mean())) if rest.any() else math.nan,
                    "bottom": float((np.nonzero(gross)[0] >= 0.9 * gross.shape[0]).mean()) if gross.any() else 0.0}
    return out


def cross_check(case, output, got):
    """The pooled RMSE of each class as pelvane-score, the demo's scorer, prints it."""
    if case.dn != 1.0:
        return
    line = subprocess.run([ARGS.score, "--brief", case.file("truth.tif"), output, case.class_map],
                          capture_output=True, text=True, check=True).stdout
    numbers = dict(re.findall(r"(all gaps|fill valid|missing in both) (\S+?),?(?:\s|$)", line))
    for cls, label in CLASSES:
        theirs, ours = float(numbers[label]), got[cls]["pooled"]["rmse"]
        if not abs(theirs - ours) <= 0.006:
            fail(f"{case.name}: our RMSE over '{label}' is {ours:.4f}, pelvane-score says {theirs}")


def evaluate(case):
    print(f"{case.name}:", flush=True)
    results = {}
    for key, label, kind, settings in METHODS:
        output = os.path.join(case.work, f"{key}.tif")
        seconds = run_timed(case.command(kind, settings, output), ARGS.repeat)
        filled = read(output) * case.dn
        results[key] = {"seconds": seconds, "scores": scores(case, filled), "output": output}
        print(f"  {key:15s} RMSE {results[key]['scores']['all']['pooled']['rmse']:6.2f} DN"
              f"  {seconds:6.2f} s", flush=True)
        if key == "both-refined":
            cross_check(case, output, results[key]["scores"])
    if case.name == "olinda":
        # The standard fill once more, with the solver let to settle.
        output = os.path.join(case.work, "both-settled.tif")
        seconds = run_timed(case.command("pelvane", ["--method", "both"] + SETTLED, output), 1)
        results["both-settled"] = {"seconds": seconds, "scores": scores(case, read(output)), "output": output}
        print(f"  {'both-settled':15s} RMSE {results['both-settled']['scores']['all']['pooled']['rmse']:6.2f} DN"
              f"  {seconds:6.2f} s", flush=True)
    return results


# ---------------------------------------------------------------- figures

# A dark-to-bright ramp (black, purple, red, orange, pale yellow).
RAMP = np.array([[0, 0, 4], [87, 16, 110], [188, 55, 84], [249, 142, 9], [252, 255, 164]], float)
ERROR_TOP = 30.0
GROSS = 50.0
# The crop of the method figures: olinda's bottom right, where the widest stripes of both
# images overlap (x, y, size).
CROP = (229, 232, 120)
BACKGROUND = 215


def ramp(values):
    """RGB (3, ...) of VALUES in 0..1."""
    x = np.clip(values, 0, 1) * (len(RAMP) - 1)
    i = np.minimum(x.astype(int), len(RAMP) - 2)
    w = x - i
    rgb = RAMP[i] * (1 - w[..., None]) + RAMP[i + 1] * w[..., None]
    return np.moveaxis(np.rint(rgb).astype(np.uint8), -1, 0)


def error_map(case, filled, path):
    error = np.abs(filled - case.truth).mean(axis=0)
    rgb = ramp(error / ERROR_TOP)
    rgb[:, ~case.tgap] = BACKGROUND
    write_byte(path, rgb)


def scale_bar(path):
    bar = np.tile(np.linspace(0, 1, 256), (14, 1))
    write_byte(path, ramp(bar))


def method_figures(case, results, folder, x, y, size, zoom):
    """Crops of target, fill, both results and truth as RGB quicklooks, enlarged."""
    os.makedirs(folder, exist_ok=True)
    crops = os.path.join(case.work, "crops")
    os.makedirs(crops, exist_ok=True)
    sources = [("target", case.file("target.tif")), ("fill", case.file("fill.tif")),
               ("standard", results["both"]["output"]), ("refined", results["both-refined"]["output"]),
               ("truth", case.file("truth.tif"))]
    for name, source in sources:
        gdal.Translate(os.path.join(crops, f"{name}.tif"), source, srcWin=[x, y, size, size])
    for name, _ in sources:
        small = os.path.join(crops, f"{name}.png")
        subprocess.run([ARGS.quicklook, "--reference", os.path.join(crops, "truth.tif"),
                        os.path.join(crops, f"{name}.tif"), small], check=True, stdout=subprocess.DEVNULL)
        target = os.path.join(folder, f"olinda_{name}.png")
        gdal.Translate(target, small, format="PNG", width=size * zoom, height=size * zoom,
                       resampleAlg="nearest")
        if os.path.exists(target + ".aux.xml"):
            os.remove(target + ".aux.xml")


# ---------------------------------------------------------------- the page

def pct(v, digits=1):
    return f"{100 * v:.{digits}f} %"


def f2(v):
    return "–" if v is None or (isinstance(v, float) and math.isnan(v)) else f"{v:.2f}"


def signed(v):
    return "–" if math.isnan(v) else f"{v:+.2f}"


def table(header, rows, align=None):
    align = align or ["---"] + ["---:"] * (len(header) - 1)
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def machine():
    model = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    debian = open("/etc/debian_version").read().strip() if os.path.exists("/etc/debian_version") else platform.platform()
    memory = ""
    try:
        kb = int(next(l for l in open("/proc/meminfo") if l.startswith("MemTotal")).split()[1])
        memory = f", {kb / 2 ** 20:.0f} GiB of memory"
    except (OSError, StopIteration, ValueError):
        pass
    return f"{model}, {os.cpu_count()} cores{memory}; Debian {debian}, GDAL {gdal.__version__}"


def commit():
    try:
        head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return head + (" with uncommitted changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def overall_table(results, dn_note=""):
    header = ["method", "RMSE all gaps", "RMSE fill valid", "RMSE missing in both",
              "MAE", "bias", "r", "time (s)"]
    rows = []
    for key, *_ in METHODS:
        s, sec = results[key]["scores"], results[key]["seconds"]
        p = s["all"]["pooled"]
        rows.append([LABEL[key], f2(p["rmse"]), f2(s["fill"]["pooled"]["rmse"]), f2(s["both"]["pooled"]["rmse"]),
                     f2(p["mae"]), signed(p["bias"]), f2(p["r"]), f"{sec:.2f}"])
    return table(header, rows)


def band_table(results, cls, metric, bands, fmt=f2):
    header = ["method"] + [f"band {b + 1}" for b in range(bands)] + ["all bands"]
    rows = []
    for key, *_ in METHODS:
        s = results[key]["scores"][cls]
        rows.append([LABEL[key]] + [fmt(s["band"][b][metric]) for b in range(bands)] + [fmt(s["pooled"][metric])])
    return table(header, rows)


def rmse(results, key, cls="all"):
    return results[key]["scores"][cls]["pooled"]["rmse"]


def losses(cases, all_results, mine, theirs):
    """'case: class A x against y DN, ...' wherever method MINE has a higher RMSE than THEIRS."""
    found = []
    for case in cases:
        r = all_results[case.name]
        lost = [f"{label} {f2(rmse(r, mine, cls))} against {f2(rmse(r, theirs, cls))}"
                for cls, label in CLASSES
                if case.cls[cls].any() and rmse(r, mine, cls) > rmse(r, theirs, cls)]
        if lost:
            found.append(f"{case.name} ({'; '.join(lost)} DN)")
    return found


def losses_by_class(cases, all_results, mine, theirs):
    """'over all gaps on a and b; over the gaps missing in both on every case', or ''."""
    parts = []
    for cls, label in CLASSES:
        names = [c.name for c in cases
                 if c.cls[cls].any() and rmse(all_results[c.name], mine, cls) > rmse(all_results[c.name], theirs, cls)]
        if names:
            where = "every case" if len(names) == len(cases) else \
                (", ".join(names[:-1]) + " and " + names[-1] if len(names) > 1 else names[0])
            parts.append(f"over {'the gaps ' if cls != 'all' else ''}{label.replace('fill valid', 'with a valid fill pixel')} on {where}")
    return "; ".join(parts)


def remarks(cases, all_results):
    """Where Pelvane does not beat gdal_fillnodata, from this run's numbers, with the reasons."""
    lines = []
    g1, g2 = LABEL["gdal"], LABEL["gdal-300-s2"]
    lost = losses(cases, all_results, "both-refined", "gdal")
    if lost:
        lines.append(f"- The refined fill loses to {g1} on " + ", ".join(lost) + ".")
    else:
        lines.append(f"- The refined fill beats {g1} on every case, over all gaps and over each class "
                     "of gaps.")
    lost = losses(cases, all_results, "both-refined", "gdal-300-s2")
    if lost:
        lines.append(f"- Against {g2} it loses on " + ", ".join(lost) + ": over the gaps missing in both, "
                     "where Pelvane too can only fill from the surrounding pixels, the two are close.")
    worst = max(cases, key=lambda c: rmse(all_results[c.name], "both-refined") / rmse(all_results[c.name], "gdal"))
    r = all_results[worst.name]
    ratio = rmse(r, 'both-refined') / rmse(r, 'gdal')
    lead = "Its narrowest lead is" if ratio < 1 else "It does worst"
    lines.append(f"- {lead} on **{worst.name}**: {f2(rmse(r, 'both-refined'))} against "
                 f"{f2(rmse(r, 'gdal'))} DN (ratio {rmse(r, 'both-refined') / rmse(r, 'gdal'):.2f}); over the "
                 f"gaps where the fill image is valid, {f2(rmse(r, 'both-refined', 'fill'))} against "
                 f"{f2(rmse(r, 'gdal', 'fill'))} DN.{WHY.get(worst.name, '')}"
                 f"{AHEAD.get(worst.name, '') if ratio < 1 else ''}")
    lost = losses_by_class(cases, all_results, "both", "gdal")
    if lost:
        lines.append(f"- The standard fill (no `--refine`) loses to {g1} {lost} (the summary table and "
                     "each case's table below have the figures). "
                     + TOLVEK_STANDARD + gross_errors(cases, all_results))
    lost = losses_by_class(cases, all_results, "tolvek-refined", "gdal")
    if lost:
        example = (f" (olinda, all gaps: {f2(rmse(all_results['olinda'], 'tolvek-refined'))} against "
                   f"{f2(rmse(all_results['olinda'], 'gdal'))} DN)" if "olinda" in all_results else "")
        lines.append(f"- Tolvek alone, refined, is a purely spatial fill like gdal_fillnodata, and loses to "
                     f"it {lost}{example}.")
        lines[-1] += (" The total-variation restoration favours flat patches with sharp edges; across a "
                      "stripe of textured land a smooth weighted mean of the pixels on both sides is, on "
                      "average, closer. "
                      "Pelvane's strength is the second date: Tolvek only has to fill the pixels missing "
                      "in both, which are small once Sarnic has filled the rest.")
    return "\n".join(lines)


TOLVEK_STANDARD = (
    "The difference lies in the pixels missing in both, which the standard Tolvek starts from a "
    "constant and leaves after at most 600 iterations at the tolerance 0.001: where it has not "
    "settled by then, pixels stay far from the truth. The refined "
    "fill starts Tolvek from a smooth interpolation instead (and the standard output stays as it is, "
    "byte for byte, without `--refine`).")


def gross_errors(cases, all_results):
    r = all_results.get("olinda")
    if r is None or not r["both"]["scores"]["gross"]["pixels"]:
        return ""
    g = r["both"]["scores"]["gross"]
    text = (f" On olinda, {g['pixels']} gap pixels of the standard fill are off by more than "
            f"{GROSS:.0f} DN on average over the bands ({pct(g['pixels'] / r['both']['scores']['all']['pixels'])} of "
            f"the gaps) and carry {pct(g['share'], 0)} of its squared error; without them its RMSE would be "
            f"{f2(g['rmse_without'])} DN.")
    if g["bottom"] > 0.5:
        text += (" Most lie in the bottom rows, at the bottom right, where the widest stripes of both "
                 "images overlap at the image's edge (the yellow patch in the error map of *Pelvane both*).")
    if "both-settled" in r:
        t = r["both-settled"]
        text += (f" Let the solver settle (`{' '.join(SETTLED)}`) and the standard fill scores "
                 f"{f2(rmse(r, 'both-settled'))} DN on olinda ({f2(rmse(r, 'both-settled', 'both'))} DN over "
                 f"the gaps missing in both), in {t['seconds']:.2f} s.")
    return text + " The table below counts such pixels for every case."


def gross_table(cases, all_results):
    keys = ["both", "both-refined", "gdal"]
    header = ["case"] + [f"{LABEL[k].strip('*')}: pixels, share of squared error" for k in keys]
    rows = []
    for c in cases:
        row = [c.name]
        for k in keys:
            g = all_results[c.name][k]["scores"]["gross"]
            row.append(f"{g['pixels']:,}, {pct(g['share'], 0)}" if g["pixels"] else "0")
        rows.append(row)
    return table(header, rows)


WHY = {
    "shift": (" The regression assumes that a fill pixel shows the same ground as the target pixel at "
              "the same place; moved by one pixel, every edge of the fill image stands a pixel off, and "
              "the fit carries the misplaced edge into the gap, so the second date loses most of its "
              "value."),
}
AHEAD = {
    "shift": (" That it still comes out ahead is because a neighbour one pixel away is a better guess "
              "than an interpolation across a stripe up to 14 rows wide."),
}


# The page's prose, with $name where this run's figures and tables go.
PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page.md")


def olinda_section(olinda, r):
    """olinda band by band, and the error maps."""
    bands = olinda.truth.shape[0]
    out = ["## olinda, band by band", ""]
    for cls, label in CLASSES:
        out += [f"RMSE (DN), {label} ({olinda.cls[cls].sum():,} px):", "", band_table(r, cls, "rmse", bands), ""]
    out += ["MAE (DN), all gaps:", "", band_table(r, "all", "mae", bands), "",
            "Bias (DN, mean of filled - truth), all gaps:", "", band_table(r, "all", "bias", bands, signed), "",
            "Pearson's r, all gaps (*all bands*: the mean of the bands):", "",
            band_table(r, "all", "r", bands), "",
            "### Error maps", "",
            f"`|filled - truth|` averaged over the bands, at the gap pixels; the rest of the scene light "
            f"grey. Colour from 0 DN (black) through purple, red and orange to {ERROR_TOP:.0f} DN or "
            f"more (pale yellow):", "",
            "![error scale, 0 to 30 DN](accuracy/error_scale.png)", ""]
    rows, row = [], []
    for key, *_ in METHODS:
        row.append(f"![{key}](accuracy/olinda_{key}.png)<br>{LABEL[key]}")
        if len(row) == 3:
            rows.append(row)
            row = []
    if row:
        rows.append(row + [""] * (3 - len(row)))
    out += [table(["", "", ""], rows, ["---"] * 3), ""]
    return "\n".join(out) + "\n"


def write_page(cases, all_results, docs, started, elapsed, argv_line):
    olinda = next((c for c in cases if c.name == "olinda"), None)
    case_rows = [[f"**{c.name}**", f"{c.cls['all'].sum():,}", pct(c.cls['all'].mean()),
                  pct(c.cls['both'].sum() / max(c.cls['all'].sum(), 1)), c.widest, c.text] for c in cases]
    summary_rows = []
    for c in cases:
        r = all_results[c.name]
        ref, standard, gd = (r[k]["scores"]["all"]["pooled"]["rmse"] for k in ("both-refined", "both", "gdal"))
        summary_rows.append([c.name, f2(ref), f2(standard), f2(gd), f"{ref / gd:.2f}",
                             f"{r['both-refined']['seconds']:.2f}", f"{r['both']['seconds']:.2f}",
                             f"{r['gdal']['seconds']:.2f}"])
    figures = {key.replace("-", "_"): LABEL[key] for key, *_ in METHODS}
    figures["both_refined"] = LABEL["both-refined"].strip("*")
    figures.update(
        command=argv_line, started=f"{started:%Y-%m-%d %H:%M}", minutes=f"{elapsed / 60:.1f}",
        machine=machine(), commit=commit(),
        timing=f"median wall time of {ARGS.repeat} runs" if ARGS.repeat > 1 else "wall time of one run",
        cases=table(["case", "gap pixels", "of the scene", "missing in both, of the gaps", "widest gap",
                     "how it is made"], case_rows, ["---", "---:", "---:", "---:", "---:", "---"]),
        summary=table(["case", "refined both", "standard both", "gdal_fillnodata", "refined / gdal",
                       "time refined", "time standard", "time gdal"], summary_rows),
        remarks=remarks(cases, all_results), gross=f"{GROSS:.0f}", gross_table=gross_table(cases, all_results),
        other_remarks=other_remarks(cases, all_results),
        olinda="\n" + ("" if olinda is None else olinda_section(olinda, all_results["olinda"])),
        every_case="\n\n".join(f"### {c.name}\n\n{overall_table(all_results[c.name])}" for c in cases) + "\n")
    with open(PAGE) as fh:
        page = string.Template(fh.read()).substitute(figures)
    with open(os.path.join(docs, "accuracy.md"), "w") as fh:
        fh.write(page.removesuffix("\n"))


def other_remarks(cases, all_results):
    lines = ["- *Sarnic alone* leaves the pixels missing in both images as they were (0), so its pooled RMSE "
             "is mostly theirs; its *fill valid* column is the one to read. *Tolvek alone* and "
             "gdal_fillnodata use only the target: they answer the same question, how well a purely "
             "spatial fill does."]
    if "olinda" in all_results:
        r = all_results["olinda"]
        lines.append(f"- The fill image copied as it is scores {f2(rmse(r, 'copy', 'fill'))} DN on olinda's gaps "
                     f"where it is valid, Sarnic {f2(rmse(r, 'sarnic', 'fill'))} DN: the regression takes out "
                     "the second date's own gain, offset and most of its noise.")
    gain = [1 - rmse(all_results[c.name], "gdal-300-s2") / rmse(all_results[c.name], "gdal") for c in cases]
    lines.append(f"- gdal_fillnodata with a 300 px search and two smoothing passes is {pct(min(gain))} to "
                 f"{pct(max(gain))} better than with its defaults. No gap pixel here is farther than "
                 f"{max(c.widest for c in cases)} px from a valid one, well within either search distance.")
    if "olinda" in all_results and "float32" in all_results:
        b8 = all_results["olinda"]["both-refined"]["scores"]["all"]["pooled"]["bias"]
        b32 = all_results["float32"]["both-refined"]["scores"]["all"]["pooled"]["bias"]
        if b32 - b8 > 0.3:
            lines.append(f"- Pelvane writes Byte samples truncated, not rounded: the refined fill's bias is "
                         f"{signed(b8)} DN on olinda and {signed(b32)} DN on the same scene as Float32 "
                         f"(float32), and its RMSE {f2(rmse(all_results['olinda'], 'both-refined'))} against "
                         f"{f2(rmse(all_results['float32'], 'both-refined'))} DN. gdal_fillnodata rounds.")
    lines.append("- The times are of whole processes on small images (349 x 352 px): reading, writing and "
                 "starting up weigh as much as the filling, so they say little about large scenes "
                 "(`docs/performance.md` times an 8000 x 7000 scene).")
    return "\n".join(lines)


# ---------------------------------------------------------------- main

def main():
    global ARGS
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", required=True)
    p.add_argument("--cases", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--docs", required=True)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--only", default="")
    p.add_argument("--method-figures", action="store_true")
    p.add_argument("--command", default="bench/accuracy.sh", help="the command line shown on the page")
    ARGS = p.parse_args()
    ARGS.cli = os.path.join(ARGS.bin, "pelvane-cli")
    ARGS.score = os.path.join(ARGS.bin, "pelvane-score")
    ARGS.quicklook = os.path.join(ARGS.bin, "pelvane-quicklook")

    names = ["olinda", "demo", "phase", "change", "haze", "clouds", "float32", "season", "shift"]
    if ARGS.only:
        names = [n for n in names if n in ARGS.only.split(",")]
    started = datetime.datetime.now(datetime.timezone.utc)
    clock = time.perf_counter()
    cases, results = [], {}
    for name in names:
        folder = os.path.join(ARGS.cases, name)
        if not os.path.isdir(folder):
            fail(f"no case folder {folder}")
        case = Case(name, folder, ARGS.work)
        cases.append(case)
        results[name] = evaluate(case)

    os.makedirs(os.path.join(ARGS.docs, "accuracy"), exist_ok=True)
    olinda = next((c for c in cases if c.name == "olinda"), None)
    if olinda is not None:
        for key, *_ in METHODS:
            error_map(olinda, read(results["olinda"][key]["output"]),
                      os.path.join(ARGS.docs, "accuracy", f"olinda_{key}.png"))
        scale_bar(os.path.join(ARGS.docs, "accuracy", "error_scale.png"))
        if ARGS.method_figures:
            method_figures(olinda, results["olinda"], os.path.join(ARGS.docs, "method"),
                           x=CROP[0], y=CROP[1], size=CROP[2], zoom=3)
    write_page(cases, results, ARGS.docs, started, time.perf_counter() - clock, ARGS.command)
    with open(os.path.join(ARGS.work, "results.json"), "w") as fh:
        json.dump({n: {k: {"seconds": v["seconds"], "scores": v["scores"]} for k, v in r.items()}
                   for n, r in results.items()}, fh, indent=1)
    print(f"Wrote {os.path.join(ARGS.docs, 'accuracy.md')}")


if __name__ == "__main__":
    main()
