"""How well the refined fill's error raster (--error-output) tells its errors.

    error_check.py TRUTH FILLED ERROR GAPS [FILL_MASK]

Over the scored gap pixels (GAPS non-zero) that ERROR estimates (finite),
pooling every band: the rank (Spearman) correlation between the estimated
standard error and the actual absolute error |FILLED - TRUTH|, and the share
of the errors within one estimated standard error. With FILL_MASK (non-zero:
the fill image misses the pixel) the same for the pixels whose fill image is
valid and for those missing in both. Then the same per band.
"""
import sys

import numpy as np
from osgeo import gdal

gdal.UseExceptions()


def read(path):
    return gdal.Open(path).ReadAsArray().astype(np.float64)


def ranks(x):
    """Ranks 1..n, ties sharing their mean rank."""
    order = np.argsort(x, kind="stable")
    sorted_x = x[order]
    starts = np.r_[0, np.flatnonzero(np.diff(sorted_x)) + 1]
    ends = np.r_[starts[1:], len(x)]
    mean_rank = (starts + ends + 1) / 2.0
    out = np.empty(len(x))
    out[order] = np.repeat(mean_rank, ends - starts)
    return out


def measures(estimate, error):
    """{n, spearman, within, rmse, mean_estimate} of paired samples, or None below two."""
    if estimate.size < 2:
        return None
    a, b = ranks(estimate), ranks(np.abs(error))
    return {"n": int(estimate.size), "spearman": float(np.corrcoef(a, b)[0, 1]),
            "within": float(np.mean(np.abs(error) <= estimate)),
            "rmse": float(np.sqrt(np.mean(error**2))), "mean_estimate": float(np.mean(estimate))}


def summary(estimate, error):
    m = measures(estimate, error)
    if m is None:
        return "n 0"
    return "n %d spearman %.3f within %.1f %% rmse %.3f mean estimate %.3f" % (
        m["n"], m["spearman"], 100 * m["within"], m["rmse"], m["mean_estimate"])


def main(argv):
    if len(argv) not in (5, 6):
        sys.exit(__doc__)
    truth, filled, estimate = read(argv[1]), read(argv[2]), read(argv[3])
    gaps = read(argv[4]) != 0
    if truth.ndim == 2:
        truth, filled, estimate = truth[None], filled[None], estimate[None]
    classes = [("all", gaps)]
    if len(argv) == 6:
        fill_gap = read(argv[5]) != 0
        classes += [("fill valid", gaps & ~fill_gap), ("missing in both", gaps & fill_gap)]
    for name, where in classes:
        pick = where[None] & np.isfinite(estimate)
        print("%-16s %s" % (name, summary(estimate[pick], (filled - truth)[pick])))
    for b in range(truth.shape[0]):
        pick = gaps & np.isfinite(estimate[b])
        print("band %-11d %s" % (b + 1, summary(estimate[b][pick], (filled[b] - truth[b])[pick])))


if __name__ == "__main__":
    main(sys.argv)
