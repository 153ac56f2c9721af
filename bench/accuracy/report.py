"""Runs every fill method on every accuracy case, scores it against the truth
and writes docs/accuracy.md with its figures. bench/accuracy.sh prepares the
cases and calls this; see there for the one command.

    report.py --bin BIN_DIR --cases CASES_DIR --work WORK_DIR --docs DOCS_DIR
              --published README [--repeat N] [--only NAME,...] [--method-figures]

CASES_DIR holds one folder per case: the real pairs (both dates real, mask
files, gaps.tif marking the scored gaps), olinda, demo and the variants of
make_variants.py, each with truth.tif, target.tif, fill.tif and either the mask
files or, for demo, gaps.tif alone (valid-range mode). README is the real
pairs' README, whose Baselines table gives the published figures of other
methods. Outputs of the runs go to WORK_DIR; DOCS_DIR receives accuracy.md,
accuracy/*.png and, with --method-figures, method/olinda_*.png.
"""
import argparse
import datetime
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import time

import numpy as np
from osgeo import gdal

import error_check

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

# The real pairs: both dates real acquisitions (the README of their folder).
REAL = ["july_from_nov", "nov_from_july", "nov_from_july_unmasked_clouds"]
# What runs on them: the default run, the refined one (with its error raster), and gdal_fillnodata.
REAL_METHODS = ["gdal", "both", "both-refined"]
REAL_TEXT = {
    "july_from_nov": "target: July (leaf-on) with stripes; its clouds and shadows are gaps too, "
                     "but not scored. Fill image: November (leaf-off), stripes of its own",
    "nov_from_july": "target: November with stripes. Fill image: July with stripes, its clouds and "
                     "shadows masked",
    "nov_from_july_unmasked_clouds": "as nov_from_july, but July's clouds and shadows count as valid, "
                                     "as with a forgotten cloud mask: the fill image is wrong there",
}
# The published methods of the real pairs' Baselines table: key, column title, label.
PUBLISHED = [("nspi", "NSPI", "NSPI, published"), ("global", "global fit", "global fit, published")]
# The real case whose error raster is drawn beside its actual error.
ERROR_FIGURE_CASE = "nov_from_july_unmasked_clouds"

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
        self.real = name in REAL
        self.work = os.path.join(work, name)
        os.makedirs(self.work, exist_ok=True)
        self.valid_range = not os.path.exists(os.path.join(folder, "target_mask.tif"))
        info_path = os.path.join(folder, "case.json")
        info = json.load(open(info_path)) if name != "olinda" and os.path.exists(info_path) else {}
        self.dn = info.get("dn_per_unit") or 1.0
        self.text = {"olinda": OLINDA_TEXT, "demo": DEMO_TEXT, **REAL_TEXT}.get(name, info.get("description", ""))
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
        # The scored pixels: the target's gaps, or those a real pair's gaps.tif marks (it leaves
        # out the target's clouds and shadows, whose truth is cloud too).
        self.scored = self.tgap
        if self.real:
            gaps = read(self.file("gaps.tif"))
            self.scored = (gaps[0] if gaps.ndim == 3 else gaps) != 0
            if (self.scored & ~self.tgap).any():
                fail(f"{name}: gaps.tif marks pixels that the target mask leaves valid")
        self.cls = {"all": self.scored, "fill": self.scored & ~self.fgap, "both": self.scored & self.fgap}
        self.widest = widest_gap(self.tgap)
        # A gap map of the three classes, for pelvane-score.
        self.class_map = os.path.join(self.work, "classes.tif")
        write_byte(self.class_map, self.scored.astype(np.uint8) + self.cls["both"].astype(np.uint8))

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


def published(readme):
    """The Baselines table of the real pairs' README: {case: {column title: (all, fill valid,
    missing in both)}}, each cell written "8.95 (8.70, 11.60)"."""
    try:
        text = open(readme).read()
    except OSError as e:
        fail(f"cannot read the real pairs' README {readme}: {e.strerror}")
    section = text.split("## Baselines", 1)[-1]
    rows = [[c.strip() for c in line.strip().strip("|").split("|")]
            for line in section.splitlines() if line.startswith("|") and "---" not in line]
    if len(rows) < 2:
        fail(f"{readme}: no Baselines table")
    header, figures = rows[0], {}
    cell = re.compile(r"^(\d+\.\d+) \((\d+\.\d+), (\d+\.\d+)\)$")
    for row in rows[1:]:
        figures[row[0]] = {}
        for title, value in zip(header[1:], row[1:]):
            found = cell.match(value)
            if not found:
                fail(f"{readme}: the Baselines cell '{value}' ({row[0]}, {title}) is not 'a (b, c)'")
            figures[row[0]][title] = tuple(float(v) for v in found.groups())
    for name in REAL:
        for title in ["gdal_fillnodata"] + [t for _, t, _ in PUBLISHED]:
            if title not in figures.get(name, {}):
                fail(f"{readme}: the Baselines table has no '{title}' figure for {name}")
    return figures


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
    gross = case.scored & (off > GROSS)
    total = (e[:, case.scored] ** 2).sum()
    rest = case.scored & ~gross
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


def error_scores(case, filled, estimate):
    """error_check's measures of the estimated standard errors, per class pooling the bands and
    per band over all scored gaps: {class: measures, "band": [measures]}."""
    error = filled - case.truth
    known = np.isfinite(estimate)
    out = {}
    for cls, mask in case.cls.items():
        pick = mask[None] & known
        out[cls] = error_check.measures(estimate[pick], error[pick])
    out["band"] = [error_check.measures(estimate[b][case.scored & known[b]], error[b][case.scored & known[b]])
                   for b in range(error.shape[0])]
    out["unestimated"] = int((case.scored[None] & ~known).sum())
    return out


def evaluate(case):
    print(f"{case.name}:", flush=True)
    results = {}
    for key, label, kind, settings in METHODS:
        if case.real and key not in REAL_METHODS:
            continue
        output = os.path.join(case.work, f"{key}.tif")
        estimate = os.path.join(case.work, f"{key}-error.tif")
        if case.real and key == "both-refined":
            settings = settings + ["--error-output", estimate]
        seconds = run_timed(case.command(kind, settings, output), ARGS.repeat)
        filled = read(output) * case.dn
        results[key] = {"seconds": seconds, "scores": scores(case, filled), "output": output}
        print(f"  {key:15s} RMSE {results[key]['scores']['all']['pooled']['rmse']:6.2f} DN"
              f"  {seconds:6.2f} s", flush=True)
        if key == "both-refined":
            cross_check(case, output, results[key]["scores"])
            if case.real:
                results[key]["errors"] = error_scores(case, filled, read(estimate) * case.dn)
                results[key]["error_output"] = estimate
                e = results[key]["errors"]["all"]
                print(f"  {'error raster':15s} rank correlation {e['spearman']:.2f}, "
                      f"{100 * e['within']:.0f} % within one standard error", flush=True)
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
# The real pairs' errors are smaller (RMSE 5 to 8 DN): their maps top out lower to show them.
REAL_ERROR_TOP = 10.0
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


def error_map(case, filled, path, top=ERROR_TOP):
    error = np.abs(filled - case.truth).mean(axis=0)
    rgb = ramp(error / top)
    rgb[:, ~case.scored] = BACKGROUND
    write_byte(path, rgb)


def estimate_map(case, estimate, path, top):
    """The estimated standard error averaged over the bands, drawn as error_map draws the actual one;
    gap pixels without an estimate in white."""
    mean = estimate.mean(axis=0)
    rgb = ramp(np.nan_to_num(mean) / top)
    rgb[:, case.scored & ~np.isfinite(mean)] = 255
    rgb[:, ~case.scored] = BACKGROUND
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

# The Landsat 7 ETM+ bands of the real pairs (the thermal band 6 is not among them).
LANDSAT_BANDS = ["1", "2", "3", "4", "5", "7"]
REAL_LABEL = {"gdal": "gdal_fillnodata", "both": "Pelvane, the standard fill",
              "both-refined": "**Pelvane, the refined fill**"}

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


def write_page(real_cases, cases, all_results, figures, docs, started, elapsed, argv_line):
    olinda = next((c for c in cases if c.name == "olinda"), None)
    out = ["# Accuracy", "",
           "How close Pelvane's fills come to the real scene: first on real image pairs, where both "
           "dates are real acquisitions, against gdal_fillnodata and the published figures of two "
           "other methods; then on the bundled olinda case, the demo scene and seven variants of "
           "olinda, whose second date is synthetic (smooth gain and offset fields, the very model "
           "Sarnic's regression assumes), against two simpler fills. Everything on this page, the "
           "figures included, was written by the script's last run:", "",
           "```sh", argv_line, "```", "",
           f"Run on {started:%Y-%m-%d %H:%M} UTC, {elapsed / 60:.1f} min in all, on {machine()}; "
           f"commit {commit()}. Times are the "
           + (f"median wall time of {ARGS.repeat} runs" if ARGS.repeat > 1 else "wall time of one run")
           + " of each process "
           "(pelvane-cli with its default threads, one per core; the other fills are a Python process "
           "each), from start to the written GeoTIFF; the machine is shared, so take them as rough.", ""]
    if real_cases:
        out += real_section(real_cases, all_results, figures)
    out += ["## The methods", "",
           table(["method", "what it does"], [
               [LABEL["sarnic"], "the standard Sarnic alone (`--method sarnic`): the regression fills the gaps where "
                "the fill image is valid; pixels missing in both stay as the target had them (0)"],
               [LABEL["sarnic-refined"], "the same with `--refine`"],
               [LABEL["tolvek"], "the standard Tolvek alone (`--method tolvek`): every gap restored band by band "
                "from the target's own pixels; the fill image is not used"],
               [LABEL["tolvek-refined"], "the same with `--refine` (Tolvek starts from a smooth interpolation)"],
               [LABEL["both"], "Sarnic where the fill is valid, Tolvek where both are missing (the default run)"],
               [LABEL["both-refined"].strip("*"), "the same with `--refine`: the recommended run"],
               [LABEL["gdal"], "GDAL's FillNodata on each band, with the target's gaps as its mask "
                "(what `gdal_fillnodata` does with its defaults): inverse-distance interpolation from the "
                "edges of each gap; uses only the target"],
               [LABEL["gdal-300-s2"], "the same, searching 300 px and smoothing twice"],
               [LABEL["copy"], "the fill image's pixel copied into each gap where it is valid; where the fill "
                "is missing too the pixel keeps the target's value (0), which its RMSE over the gaps "
                "missing in both shows"],
           ], ["---", "---"]), "",
           "Pelvane is run with the case's mask files (the demo scene: with the valid range 1..255, as "
           "`make run` does) and otherwise its defaults.", "",
           "## Metrics", "",
           "Over the target's gap pixels only, in DN (the Float32 case in DN too: its errors divided by "
           "0.002): RMSE, MAE, bias (mean of filled - truth) and Pearson's r between filled and true "
           "values. *All bands* pools the samples of every band for RMSE, MAE and bias; for r it is the "
           "mean of the bands' r, as pooling would credit the differences between the bands' means. The "
           "gaps split into those where the fill image is valid (*fill valid*) and those missing in "
           "both images (*missing in both*), where only a spatial fill can help. For each case, the "
           "pooled RMSE of every class of the refined run is checked against `pelvane-score`, the "
           "demo's own scorer.", "",
           "## The cases with a synthetic second date", "",
           "olinda and the scenes made from it have a real target and a synthetic second date; they "
           "show what the methods do where the fill image follows the regression's model, and where "
           "it is made to break it in one known way.", ""]
    rows = []
    for c in cases:
        rows.append([f"**{c.name}**", f"{c.cls['all'].sum():,}", pct(c.cls['all'].mean()),
                     pct(c.cls['both'].sum() / max(c.cls['all'].sum(), 1)), c.widest, c.text])
    out += [table(["case", "gap pixels", "of the scene", "missing in both, of the gaps", "widest gap", "how it is made"],
                  rows, ["---", "---:", "---:", "---:", "---:", "---"]), "",
            "*Widest gap*: the largest distance, in pixels, from a gap pixel to the nearest valid pixel "
            "of the target.", "",
            "The variants are made by `bench/accuracy/make_variants.py` from olinda with fixed seeds; "
            "each keeps olinda's truth.", "",
            "## Summary of the synthetic cases", "",
            "Pooled RMSE over all the target's gaps (DN), and wall time (s).", ""]
    rows = []
    for c in cases:
        r = all_results[c.name]
        ref, standard, gd = (r[k]["scores"]["all"]["pooled"]["rmse"] for k in ("both-refined", "both", "gdal"))
        rows.append([c.name, f2(ref), f2(standard), f2(gd), f"{ref / gd:.2f}",
                     f"{r['both-refined']['seconds']:.2f}", f"{r['both']['seconds']:.2f}",
                     f"{r['gdal']['seconds']:.2f}"])
    out += [table(["case", "refined both", "standard both", "gdal_fillnodata", "refined / gdal",
                   "time refined", "time standard", "time gdal"], rows), "",
            "A ratio below 1 means the refined fill is closer to the truth than gdal_fillnodata "
            "(default settings).", "",
            "### Where Pelvane does not win", "", remarks(cases, all_results), "",
            f"Gap pixels off by more than {GROSS:.0f} DN on average over the bands, and their share of "
            "the method's squared error over the gaps:", "", gross_table(cases, all_results), "",
            "### Other remarks", "", other_remarks(cases, all_results), ""]
    if olinda is not None:
        r = all_results["olinda"]
        bands = olinda.truth.shape[0]
        out += ["## olinda, band by band", ""]
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
    out += ["## Every case", ""]
    for c in cases:
        out += [f"### {c.name}", "", overall_table(all_results[c.name]), ""]
    with open(os.path.join(docs, "accuracy.md"), "w") as fh:
        fh.write("\n".join(out))


def real_section(cases, all_results, figures):
    """The page's section on the real pairs: scores, the published figures beside them, the
    error raster's check."""
    def rm(c, key, cls="all"):
        return rmse(all_results[c.name], key, cls)
    refined = [rm(c, "both-refined") / rm(c, "gdal") for c in cases]
    nspi = [figures[c.name]["NSPI"][0] / figures[c.name]["gdal_fillnodata"][0] for c in cases]
    out = ["## The real pairs", "",
           "Both dates are real acquisitions of the same ground: Landsat 7 ETM+, path 15 row 32 "
           "(ridge-and-valley country, Pennsylvania), bands 1 2 3 4 5 7 as Byte DN, 300 x 300 px, "
           "on 2002-07-20 (leaf-on, scattered cumulus) and 2002-11-25 (leaf-off, deep terrain "
           "shading). The land changes strongly between them (per-band correlation between the dates "
           "over clear pixels 0.2 to 0.6, NIR -0.27), so the second date tells much less than on olinda. "
           "The stripes are cut in; the cases and their data are described in the README of the "
           "real pairs' folder (`bench/accuracy.sh --help` says where it is looked for). Pelvane runs "
           "with each case's mask files and otherwise its defaults; every RMSE is over the pixels the "
           "case's `gaps.tif` marks.", "",
           table(["case", "scored gap pixels", "missing in both, of them", "widest gap", "what it is"],
                 [[f"**{c.name}**", f"{c.cls['all'].sum():,}",
                   pct(c.cls['both'].sum() / max(c.cls['all'].sum(), 1)), c.widest, c.text] for c in cases],
                 ["---", "---:", "---:", "---:", "---"]), "",
           f"The refined fill scores {', '.join(f'{v:.2f}' for v in refined)} of gdal_fillnodata's RMSE "
           f"on {', '.join(c.name for c in cases)}; NSPI's published figures "
           f"{', '.join(f'{v:.2f}' for v in nspi)}.", ""]
    rows = []
    for c in cases:
        r, pub = all_results[c.name], figures[c.name]
        gd = rm(c, "gdal")
        for key in REAL_METHODS:
            rows.append([c.name, REAL_LABEL[key]] + [f2(rm(c, key, cls)) for cls, _ in CLASSES]
                        + [f"{rm(c, key) / gd:.2f}", f"{r[key]['seconds']:.2f}"])
            if key == "gdal":
                for _, title, label in PUBLISHED:
                    rows.append([c.name, f"{label} [1]"] + [f2(v) for v in pub[title]]
                                + [f"{pub[title][0] / pub['gdal_fillnodata'][0]:.2f} [2]", "–"])
    out += ["RMSE (DN) over the scored gaps, each gap class, the ratio to gdal_fillnodata over all "
            "scored gaps, and the wall time of the run (s):", "",
            table(["case", "method", "all gaps", "fill valid", "missing in both", "of gdal_fillnodata",
                   "time (s)"], rows, ["---", "---", "---:", "---:", "---:", "---:", "---:"]), ""]
    theirs = [figures[c.name]["gdal_fillnodata"] for c in cases]
    ours = [tuple(rm(c, "gdal", cls) for cls, _ in CLASSES) for c in cases]
    same = all(abs(a - b) <= 0.01 for t, o in zip(theirs, ours) for a, b in zip(t, o))
    out += ["[1] Not run here: the figures published in the Baselines table of the real pairs' "
            "README, quoted as they stand. \"NSPI\" is the neighbourhood similar pixel "
            "interpolator (Chen et al., Remote Sensing of Environment 115, 2011), run from an "
            "independent open-source implementation with its window search unsubsampled; it leaves "
            "the pixels missing in both images empty, and those got gdal_fillnodata's value. "
            "\"Global fit\" is one least-squares line per band between the dates over all pixels "
            "valid in both.", "",
            "[2] Against the gdal_fillnodata figure of the same table, "
            + ("which this run's gdal_fillnodata matches to 0.01 DN in every case and class."
               if same else
               "which differs from this run's: " + "; ".join(
                   f"{c.name} {' / '.join(f2(v) for v in t)} there, {' / '.join(f2(v) for v in o)} here"
                   for c, t, o in zip(cases, theirs, ours)) + " (all / fill valid / missing in both)."),
            "",
            "The refined fill's time includes writing its error raster (`--error-output`).", ""]
    for c in cases:
        r = all_results[c.name]
        rows = []
        for cls, label in CLASSES:
            for key in REAL_METHODS:
                s = r[key]["scores"][cls]
                rows.append([label, REAL_LABEL[key]] + [f2(b["rmse"]) for b in s["band"]]
                            + [f2(s["pooled"]["rmse"])])
        bands = [f"band {b}" for b in LANDSAT_BANDS[:c.truth.shape[0]]]
        out += [f"### {c.name}, band by band", "", "RMSE (DN):", "",
                table(["gaps", "method"] + bands + ["all bands"], rows,
                      ["---", "---"] + ["---:"] * (len(bands) + 1)), ""]
    out += ["### The error raster", "",
            "`--error-output` writes the refined fill's estimated standard error of every filled "
            "value. Against the actual error on the real pairs (`bench/accuracy/error_check.py` "
            "computes the same): the rank (Spearman) correlation between the estimated standard "
            "error and the actual absolute error, and the share of the errors within one estimated "
            "standard error (about 68 % if the estimate were exact and the errors normal), over "
            "the scored gap pixels, pooling the bands:", ""]
    rows = []
    for c in cases:
        e = all_results[c.name]["both-refined"]["errors"]
        for cls, label in CLASSES:
            m = e[cls]
            rows.append([c.name, label] + (["–"] * 5 if m is None else
                        [f"{m['n']:,}", f"{m['spearman']:.2f}", pct(m["within"], 0), f2(m["rmse"]),
                         f2(m["mean_estimate"])]))
    out += [table(["case", "gaps", "values", "rank correlation", "within ±1 standard error", "RMSE",
                   "mean estimated standard error"], rows, ["---", "---"] + ["---:"] * 5), ""]
    missing = [f"{c.name} {all_results[c.name]['both-refined']['errors']['unestimated']:,}" for c in cases
               if all_results[c.name]["both-refined"]["errors"]["unestimated"]]
    if missing:
        out += ["Scored values the raster leaves without an estimate (no-data): " + ", ".join(missing) + ".", ""]
    rows = []
    for c in cases:
        bands = all_results[c.name]["both-refined"]["errors"]["band"]
        rows.append([c.name] + ["–" if m is None else f"{m['spearman']:.2f}, {pct(m['within'], 0)}"
                                for m in bands])
    out += ["Band by band, all scored gaps (rank correlation, share within ±1 standard error):", "",
            table(["case"] + [f"band {b}" for b in LANDSAT_BANDS], rows), ""]
    if any(c.name == ERROR_FIGURE_CASE for c in cases):
        out += [f"On {ERROR_FIGURE_CASE}, the actual error `|filled - truth|` and the estimated standard "
                f"error, each averaged over the bands, at the scored gap pixels (the rest light grey). "
                f"The colours of the error maps of olinda below, but from 0 DN (black) to "
                f"{REAL_ERROR_TOP:.0f} DN or more (pale yellow):", "",
                table(["actual error", "estimated standard error"],
                      [[f"![actual error](accuracy/{ERROR_FIGURE_CASE}_error.png)",
                        f"![estimated standard error](accuracy/{ERROR_FIGURE_CASE}_estimate.png)"]],
                      ["---", "---"]), ""]
    return out


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
    p.add_argument("--published", required=True, help="the real pairs' README, with its Baselines table")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--only", default="")
    p.add_argument("--method-figures", action="store_true")
    p.add_argument("--command", default="bench/accuracy.sh", help="the command line shown on the page")
    ARGS = p.parse_args()
    ARGS.cli = os.path.join(ARGS.bin, "pelvane-cli")
    ARGS.score = os.path.join(ARGS.bin, "pelvane-score")
    ARGS.quicklook = os.path.join(ARGS.bin, "pelvane-quicklook")

    names = REAL + ["olinda", "demo", "phase", "change", "haze", "clouds", "float32", "season", "shift"]
    if ARGS.only:
        names = [n for n in names if n in ARGS.only.split(",")]
    figures = published(ARGS.published) if any(n in REAL for n in names) else {}
    started = datetime.datetime.now(datetime.timezone.utc)
    clock = time.perf_counter()
    cases, real_cases, results = [], [], {}
    for name in names:
        folder = os.path.join(ARGS.cases, name)
        if not os.path.isdir(folder):
            fail(f"no case folder {folder}")
        case = Case(name, folder, ARGS.work)
        (real_cases if case.real else cases).append(case)
        results[name] = evaluate(case)

    os.makedirs(os.path.join(ARGS.docs, "accuracy"), exist_ok=True)
    for case in real_cases:
        if case.name == ERROR_FIGURE_CASE:
            refined = results[case.name]["both-refined"]
            error_map(case, read(refined["output"]),
                      os.path.join(ARGS.docs, "accuracy", f"{case.name}_error.png"), REAL_ERROR_TOP)
            estimate_map(case, read(refined["error_output"]),
                         os.path.join(ARGS.docs, "accuracy", f"{case.name}_estimate.png"), REAL_ERROR_TOP)
    olinda = next((c for c in cases if c.name == "olinda"), None)
    if olinda is not None:
        for key, *_ in METHODS:
            error_map(olinda, read(results["olinda"][key]["output"]),
                      os.path.join(ARGS.docs, "accuracy", f"olinda_{key}.png"))
        scale_bar(os.path.join(ARGS.docs, "accuracy", "error_scale.png"))
        if ARGS.method_figures:
            method_figures(olinda, results["olinda"], os.path.join(ARGS.docs, "method"),
                           x=CROP[0], y=CROP[1], size=CROP[2], zoom=3)
    write_page(real_cases, cases, results, figures, ARGS.docs, started, time.perf_counter() - clock,
               ARGS.command)
    with open(os.path.join(ARGS.work, "results.json"), "w") as fh:
        json.dump({n: {k: {f: v[f] for f in ("seconds", "scores", "errors") if f in v} for k, v in r.items()}
                   for n, r in results.items()}, fh, indent=1)
    print(f"Wrote {os.path.join(ARGS.docs, 'accuracy.md')}")


if __name__ == "__main__":
    main()
