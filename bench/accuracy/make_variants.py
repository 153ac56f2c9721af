"""Variant cases of the olinda scene, for bench/accuracy.sh.

    python3 make_variants.py OLINDA_DIR OUT_DIR

Each variant is a folder OUT_DIR/NAME holding truth.tif, target.tif, fill.tif,
target_mask.tif and fill_mask.tif (255 = gap, 0 = valid), gaps.tif (0 valid,
1 target gap with a valid fill pixel, 2 missing in both) and case.json (how it
was made, in one sentence, and the scale of its samples). Everything is drawn
from fixed seeds: a rerun writes the same pixels.
"""
import json
import os
import sys

import numpy as np
from osgeo import gdal

gdal.UseExceptions()

if len(sys.argv) != 3:
    sys.exit("usage: make_variants.py OLINDA_DIR OUT_DIR")
src, out = sys.argv[1], sys.argv[2]


def read(path):
    return gdal.Open(path).ReadAsArray()


truth = read(f"{src}/truth.tif").astype(np.float64)
fill0 = read(f"{src}/fill.tif").astype(np.float64)
tmask0 = read(f"{src}/target_mask.tif") != 0
fmask0 = read(f"{src}/fill_mask.tif") != 0
B, H, W = truth.shape
ref = gdal.Open(f"{src}/truth.tif")
yy, xx = np.mgrid[0:H, 0:W]


def write(path, arr, dtype=gdal.GDT_Byte):
    arr = arr if arr.ndim == 3 else arr[None]
    ds = gdal.GetDriverByName("GTiff").Create(path, W, H, arr.shape[0], dtype, ["COMPRESS=DEFLATE"])
    ds.SetGeoTransform(ref.GetGeoTransform())
    ds.SetProjection(ref.GetProjection())
    for b in range(arr.shape[0]):
        ds.GetRasterBand(b + 1).WriteArray(arr[b])
    ds = None


def stripes(period, phase, wmin, wmax, tilt):
    """Scanner stripes like the olinda ones: tilted centre lines, widening to the right."""
    centre = phase + tilt * xx
    d = np.abs(((yy - centre + period / 2) % period) - period / 2)
    width = wmin + (wmax - wmin) * xx / (W - 1)
    return d < width / 2


def smooth_noise(sigma, seed):
    """Gaussian noise low-passed with a Gaussian of SIGMA pixels, zero mean, unit deviation."""
    g = np.random.default_rng(seed).normal(size=(H, W))
    f = np.fft.fft2(g)
    ky = np.fft.fftfreq(H)[:, None]
    kx = np.fft.fftfreq(W)[None, :]
    f *= np.exp(-2 * (np.pi * sigma) ** 2 * (kx ** 2 + ky ** 2))
    n = np.real(np.fft.ifft2(f))
    return (n - n.mean()) / n.std()


def save(name, description, target_gap, fill, fill_gap, scale=None):
    """Writes a case. SCALE: samples are Float32 reflectance, DN x SCALE."""
    d = f"{out}/{name}"
    os.makedirs(d, exist_ok=True)
    t = truth.copy()
    f = fill.copy()
    t[:, target_gap] = 0
    f[:, fill_gap] = 0
    if scale is not None:
        write(f"{d}/truth.tif", truth * scale, gdal.GDT_Float32)
        write(f"{d}/target.tif", t * scale, gdal.GDT_Float32)
        write(f"{d}/fill.tif", f * scale, gdal.GDT_Float32)
    else:
        write(f"{d}/truth.tif", truth.astype(np.uint8))
        write(f"{d}/target.tif", np.clip(np.rint(t), 0, 255).astype(np.uint8))
        write(f"{d}/fill.tif", np.clip(np.rint(f), 0, 255).astype(np.uint8))
    write(f"{d}/target_mask.tif", (target_gap * 255).astype(np.uint8))
    write(f"{d}/fill_mask.tif", (fill_gap * 255).astype(np.uint8))
    gaps = target_gap.astype(np.uint8) + (target_gap & fill_gap).astype(np.uint8)
    write(f"{d}/gaps.tif", gaps)
    with open(f"{d}/case.json", "w") as fh:
        json.dump({"name": name, "description": description,
                   "dn_per_unit": None if scale is None else 1 / scale}, fh, indent=1)
    print(f"  {name:8s} target gaps {target_gap.mean():6.1%}, missing in both {(target_gap & fill_gap).mean():5.1%}")


# Other stripes: the target's stripes of another period, phase, width and tilt.
save("phase",
     "olinda's fill image; the target's stripes redrawn with period 29 rows, phase 19, "
     "2 to 14 rows wide and tilt 0.04 (olinda: 33, 7, 1.5 to 13, 0.035), so the two "
     "families cross at other places",
     stripes(29, 19, 2, 14, 0.04), fill0, fmask0)

# Stronger land change: 9 wavy discs of the fill take the cover of another place.
fill2 = fill0.copy()
fgap2 = fmask0.copy()
g = np.random.default_rng(7)
for k in range(9):
    cy, cx, r = g.uniform(20, H - 20), g.uniform(20, W - 20), g.uniform(8, 20)
    dy, dx = int(g.uniform(-120, 120)), int(g.uniform(-120, 120))
    m = np.hypot(yy - cy, xx - cx) < r * (1 + 0.2 * np.sin(4 * np.arctan2(yy - cy, xx - cx) + k))
    sy = np.clip(yy + dy, 0, H - 1)
    sx = np.clip(xx + dx, 0, W - 1)
    fill2[:, m] = fill0[:, sy[m], sx[m]]
    fgap2[m] = fmask0[sy[m], sx[m]]  # a copied gap stays a gap
save("change",
     "olinda's stripes; in the fill image 9 more wavy discs (radius 8 to 20 px, about 5 % of "
     "the scene) take the cover of a place up to 120 px away, on top of olinda's 3",
     tmask0, fill2, fgap2)

# Hazy fill date: a veil that varies within a few pixels, strongest in the blue.
veil = np.clip(0.5 + 0.5 * smooth_noise(2.5, 11), 0, 1) * np.clip(0.6 + 0.6 * smooth_noise(25, 12), 0, 1)
strength = np.array([1.0, 0.8, 0.6, 0.35, 0.15, 0.08])[:, None, None]
h = 0.45 * veil[None] * strength
save("haze",
     "olinda's stripes; the fill image blended towards 160 DN by a patchy veil (texture of "
     "2.5 px times one of 25 px), up to 45 % in band 1 falling to 4 % in band 6",
     tmask0, np.clip(fill0 * (1 - h) + 160 * h, 1, 255), fmask0)

# Cloud masks: round-edged clouds in both dates, no stripes in the target.
tc = smooth_noise(9, 21) > 1.0
fc = smooth_noise(9, 22) > 1.1
save("clouds",
     "the target's gaps are clouds (smooth noise of 9 px above 1 sigma) instead of "
     "stripes; the fill has clouds of its own (above 1.1 sigma) besides its stripes; "
     "no cloud shadows",
     tc, fill0, fc | fmask0)

# Float32 reflectance: olinda as it is, every sample times 0.002.
save("float32",
     "olinda exactly, every sample times 0.002 and stored as Float32 (errors below are "
     "given back in DN)",
     tmask0, fill0, fmask0, scale=0.002)

# Another season: the change depends on the cover and on the field, the sensor is noisier.
nir, red = truth[3], truth[2]
ndvi = (nir - red) / np.maximum(nir + red, 1)
veg = np.clip((ndvi - 0.05) / 0.4, 0, 1)[None]
fields = (smooth_noise(4, 31) > 0.3)[None]
g_veg = np.array([1.15, 1.1, 1.35, 0.75, 1.2, 1.3])[:, None, None]
g_bare = np.array([0.95, 1.0, 1.0, 1.08, 1.12, 1.05])[:, None, None]
gain = veg * np.where(fields, g_veg, 1 + 0.5 * (g_veg - 1)) + (1 - veg) * g_bare
fill6 = np.clip(gain * truth + 4 + np.random.default_rng(32).normal(0, 3, truth.shape), 1, 255)
save("season",
     "olinda's stripes; the fill made anew from the truth with a gain per band that "
     "depends on the vegetation index (0.75 to 1.35) and, for vegetation, on the field "
     "(patches of about 4 px), plus 4 DN and noise of 3 DN",
     tmask0, fill6, fmask0)

# Misregistration: the fill image one pixel down and one right of the target.
fill7 = np.roll(np.roll(fill0, 1, axis=1), 1, axis=2)
fgap7 = np.roll(np.roll(fmask0, 1, axis=0), 1, axis=1)
fgap7[0, :] = True  # the rolled-in first row and column come from the far edge
fgap7[:, 0] = True
save("shift",
     "olinda's fill image moved one pixel down and one pixel right (its mask with it); "
     "the target is olinda's",
     tmask0, fill7, fgap7)
