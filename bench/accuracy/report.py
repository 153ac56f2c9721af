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
accuracy/*.png and, with --method-figures, method/olinda_*.png. The page's
text is report_template.md beside this script; the script fills in its figures
and tables.
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
# The published methods of the real pairs' Baselines table: key, column title, label.
PUBLISHED = [("nspi", "NSPI", "NSPI, published"), ("global", "global fit", "global fit, published")]
# The real case whose error raster is drawn beside its actual error.
ERROR_FIGURE_CASE = "nov_from_july_unmasked_clouds"

def fail(message):
    sys.exit(f"accuracy: {message}")


def load_template(path):
    """The parts of the page's template, {name: string.Template}: each starts at a line
    "<!-- name -->" and runs to the next one, its trailing blank lines dropped."""
    try:
        lines = open(path).read().split("\n")
    except OSError as e:
        fail(f"cannot read the page's template {path}: {e.strerror}")
    parts, name = {}, None
    for line in lines:
        found = re.fullmatch(r"<!-- (\w+) -->", line)
        if found:
            name = found.group(1)
            parts[name] = []
        elif name is not None:
            parts[name].append(line)
    return {name: string.Template("\n".join(body).rstrip("\n")) for name, body in parts.items()}


TEXT = load_template(os.path.join(HERE, "report_template.md"))


def text(name, **fields):
    """The template's part NAME with FIELDS filled in."""
    return TEXT[name].substitute(fields)


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
        self.text = text(f"case_{name}") if f"case_{name}" in TEXT else info.get("description", "")
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
        lines.append(text("refined_loses", method=g1, losses=", ".join(lost)))
    else:
        lines.append(text("refined_wins", method=g1))
    lost = losses(cases, all_results, "both-refined", "gdal-300-s2")
    if lost:
        lines.append(text("refined_loses_wider", method=g2, losses=", ".join(lost)))
    worst = max(cases, key=lambda c: rmse(all_results[c.name], "both-refined") / rmse(all_results[c.name], "gdal"))
    r = all_results[worst.name]
    ratio = rmse(r, 'both-refined') / rmse(r, 'gdal')
    # The case's own explanation, if the template has one, and why it still leads.
    why = [part for part in (f"why_{worst.name}", f"ahead_{worst.name}" if ratio < 1 else "") if part in TEXT]
    lines.append(text("refined_worst", lead=text("narrowest_lead" if ratio < 1 else "worst"), case=worst.name,
                      refined=f2(rmse(r, 'both-refined')), gdal=f2(rmse(r, 'gdal')), ratio=f"{ratio:.2f}",
                      refined_fill=f2(rmse(r, 'both-refined', 'fill')), gdal_fill=f2(rmse(r, 'gdal', 'fill')),
                      why="".join(" " + text(part) for part in why)))
    lost = losses_by_class(cases, all_results, "both", "gdal")
    if lost:
        lines.append(text("standard_loses", method=g1, losses=lost, gross=gross_errors(cases, all_results)))
    lost = losses_by_class(cases, all_results, "tolvek-refined", "gdal")
    if lost:
        example = (" " + text("tolvek_example", refined=f2(rmse(all_results['olinda'], 'tolvek-refined')),
                              gdal=f2(rmse(all_results['olinda'], 'gdal'))) if "olinda" in all_results else "")
        lines.append(text("tolvek_loses", losses=lost, example=example))
    return "\n".join(lines)


def gross_errors(cases, all_results):
    """The sentences on olinda's gross errors of the standard fill, each after a space, or ''."""
    r = all_results.get("olinda")
    if r is None or not r["both"]["scores"]["gross"]["pixels"]:
        return ""
    g = r["both"]["scores"]["gross"]
    sentences = [text("gross_olinda", pixels=g["pixels"], gross=f"{GROSS:.0f}",
                      share=pct(g["pixels"] / r["both"]["scores"]["all"]["pixels"]), squared=pct(g["share"], 0),
                      rmse=f2(g["rmse_without"]))]
    if g["bottom"] > 0.5:
        sentences.append(text("gross_bottom"))
    if "both-settled" in r:
        sentences.append(text("gross_settled", settings=" ".join(SETTLED), rmse=f2(rmse(r, "both-settled")),
                              rmse_both=f2(rmse(r, "both-settled", "both")),
                              seconds=f"{r['both-settled']['seconds']:.2f}"))
    sentences.append(text("gross_counted"))
    return "".join(" " + sentence for sentence in sentences)


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


def write_page(real_cases, cases, all_results, figures, docs, started, elapsed, argv_line):
    """docs/accuracy.md: the template's page with this run's figures and tables."""
    rows = []
    for c in cases:
        rows.append([f"**{c.name}**", f"{c.cls['all'].sum():,}", pct(c.cls['all'].mean()),
                     pct(c.cls['both'].sum() / max(c.cls['all'].sum(), 1)), c.widest, c.text])
    cases_table = table(["case", "gap pixels", "of the scene", "missing in both, of the gaps", "widest gap",
                         "how it is made"], rows, ["---", "---:", "---:", "---:", "---:", "---"])
    rows = []
    for c in cases:
        r = all_results[c.name]
        ref, standard, gd = (r[k]["scores"]["all"]["pooled"]["rmse"] for k in ("both-refined", "both", "gdal"))
        rows.append([c.name, f2(ref), f2(standard), f2(gd), f"{ref / gd:.2f}",
                     f"{r['both-refined']['seconds']:.2f}", f"{r['both']['seconds']:.2f}",
                     f"{r['gdal']['seconds']:.2f}"])
    summary_table = table(["case", "refined both", "standard both", "gdal_fillnodata", "refined / gdal",
                           "time refined", "time standard", "time gdal"], rows)
    olinda = next((c for c in cases if c.name == "olinda"), None)
    page = text(
        "page", command=argv_line, started=f"{started:%Y-%m-%d %H:%M}", minutes=f"{elapsed / 60:.1f}",
        machine=machine(), commit=commit(),
        timing=text("timing_median", repeat=ARGS.repeat) if ARGS.repeat > 1 else text("timing_one"),
        real_pairs=real_section(real_cases, all_results, figures) + "\n\n" if real_cases else "",
        # The methods' labels, for the table that says what each does.
        **{key.replace("-", "_"): label.strip("*") for key, label in LABEL.items()},
        cases_table=cases_table, summary_table=summary_table, remarks=remarks(cases, all_results),
        gross=f"{GROSS:.0f}", gross_table=gross_table(cases, all_results),
        other_remarks=other_remarks(cases, all_results),
        olinda=olinda_section(olinda, all_results["olinda"]) + "\n\n" if olinda is not None else "",
        every_case="\n\n".join(f"### {c.name}\n\n{overall_table(all_results[c.name])}" for c in cases))
    with open(os.path.join(docs, "accuracy.md"), "w") as fh:
        fh.write(page + "\n")


def olinda_section(olinda, r):
    """olinda band by band and the error maps of every method."""
    bands = olinda.truth.shape[0]
    rows, row = [], []
    for key, *_ in METHODS:
        row.append(f"![{key}](accuracy/olinda_{key}.png)<br>{LABEL[key]}")
        if len(row) == 3:
            rows.append(row)
            row = []
    if row:
        rows.append(row + [""] * (3 - len(row)))
    return text(
        "olinda",
        rmse_tables="\n\n".join(text("olinda_rmse_table", gaps=label, pixels=f"{olinda.cls[cls].sum():,}",
                                     table=band_table(r, cls, "rmse", bands)) for cls, label in CLASSES),
        mae_table=band_table(r, "all", "mae", bands), bias_table=band_table(r, "all", "bias", bands, signed),
        r_table=band_table(r, "all", "r", bands), top=f"{ERROR_TOP:.0f}",
        maps_table=table(["", "", ""], rows, ["---"] * 3))


def real_section(cases, all_results, figures):
    """The page's section on the real pairs: scores, the published figures beside them, the
    error raster's check."""
    def rm(c, key, cls="all"):
        return rmse(all_results[c.name], key, cls)
    refined = [rm(c, "both-refined") / rm(c, "gdal") for c in cases]
    nspi = [figures[c.name]["NSPI"][0] / figures[c.name]["gdal_fillnodata"][0] for c in cases]
    cases_table = table(["case", "scored gap pixels", "missing in both, of them", "widest gap", "what it is"],
                        [[f"**{c.name}**", f"{c.cls['all'].sum():,}",
                          pct(c.cls['both'].sum() / max(c.cls['all'].sum(), 1)), c.widest, c.text] for c in cases],
                        ["---", "---:", "---:", "---:", "---"])
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
    scores_table = table(["case", "method", "all gaps", "fill valid", "missing in both", "of gdal_fillnodata",
                          "time (s)"], rows, ["---", "---", "---:", "---:", "---:", "---:", "---:"])
    theirs = [figures[c.name]["gdal_fillnodata"] for c in cases]
    ours = [tuple(rm(c, "gdal", cls) for cls, _ in CLASSES) for c in cases]
    same = all(abs(a - b) <= 0.01 for t, o in zip(theirs, ours) for a, b in zip(t, o))
    gdal_check = text("gdal_matches") if same else text("gdal_differs", differences="; ".join(
        text("gdal_difference", case=c.name, theirs=" / ".join(f2(v) for v in t), ours=" / ".join(f2(v) for v in o))
        for c, t, o in zip(cases, theirs, ours)))
    band_tables = []
    for c in cases:
        r = all_results[c.name]
        rows = []
        for cls, label in CLASSES:
            for key in REAL_METHODS:
                s = r[key]["scores"][cls]
                rows.append([label, REAL_LABEL[key]] + [f2(b["rmse"]) for b in s["band"]]
                            + [f2(s["pooled"]["rmse"])])
        bands = [f"band {b}" for b in LANDSAT_BANDS[:c.truth.shape[0]]]
        band_tables.append(text("real_band_table", case=c.name, table=table(
            ["gaps", "method"] + bands + ["all bands"], rows, ["---", "---"] + ["---:"] * (len(bands) + 1))))
    rows = []
    for c in cases:
        e = all_results[c.name]["both-refined"]["errors"]
        for cls, label in CLASSES:
            m = e[cls]
            rows.append([c.name, label] + (["–"] * 5 if m is None else
                        [f"{m['n']:,}", f"{m['spearman']:.2f}", pct(m["within"], 0), f2(m["rmse"]),
                         f2(m["mean_estimate"])]))
    error_table = table(["case", "gaps", "values", "rank correlation", "within ±1 standard error", "RMSE",
                         "mean estimated standard error"], rows, ["---", "---"] + ["---:"] * 5)
    missing = [f"{c.name} {all_results[c.name]['both-refined']['errors']['unestimated']:,}" for c in cases
               if all_results[c.name]["both-refined"]["errors"]["unestimated"]]
    rows = []
    for c in cases:
        bands = all_results[c.name]["both-refined"]["errors"]["band"]
        rows.append([c.name] + ["–" if m is None else f"{m['spearman']:.2f}, {pct(m['within'], 0)}"
                                for m in bands])
    figure = any(c.name == ERROR_FIGURE_CASE for c in cases)
    return text(
        "real_pairs", cases_table=cases_table, refined=", ".join(f"{v:.2f}" for v in refined),
        names=", ".join(c.name for c in cases), nspi=", ".join(f"{v:.2f}" for v in nspi),
        scores_table=scores_table, gdal_check=gdal_check,
        band_tables="".join(t + "\n\n" for t in band_tables), error_table=error_table,
        unestimated=text("unestimated", counts=", ".join(missing)) + "\n\n" if missing else "",
        error_band_table=table(["case"] + [f"band {b}" for b in LANDSAT_BANDS], rows),
        error_figure="\n\n" + text("error_figure", case=ERROR_FIGURE_CASE, top=f"{REAL_ERROR_TOP:.0f}")
        if figure else "")


def other_remarks(cases, all_results):
    lines = [text("sarnic_alone")]
    if "olinda" in all_results:
        r = all_results["olinda"]
        lines.append(text("copy_vs_sarnic", copy=f2(rmse(r, 'copy', 'fill')), sarnic=f2(rmse(r, 'sarnic', 'fill'))))
    gain = [1 - rmse(all_results[c.name], "gdal-300-s2") / rmse(all_results[c.name], "gdal") for c in cases]
    lines.append(text("gdal_wider", least=pct(min(gain)), most=pct(max(gain)), widest=max(c.widest for c in cases)))
    if "olinda" in all_results and "float32" in all_results:
        b8 = all_results["olinda"]["both-refined"]["scores"]["all"]["pooled"]["bias"]
        b32 = all_results["float32"]["both-refined"]["scores"]["all"]["pooled"]["bias"]
        if b32 - b8 > 0.3:
            lines.append(text("truncated_bytes", bias_byte=signed(b8), bias_float=signed(b32),
                              rmse_byte=f2(rmse(all_results['olinda'], 'both-refined')),
                              rmse_float=f2(rmse(all_results['float32'], 'both-refined'))))
    lines.append(text("small_images"))
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
