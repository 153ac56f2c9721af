"""How well the refined fill's estimated standard errors match its actual
errors where both images miss a pixel, per band and over all bands pooled:
Spearman's rank correlation between the estimated standard error and the
absolute error, and the share of errors within one estimated standard error.

    error_check.py CASE_DIR FILLED.tif ERROR.tif

CASE_DIR holds truth.tif, gaps.tif (the scored pixels) and fill_mask.tif;
FILLED.tif is the refined fill, ERROR.tif its standard errors
(pelvane-edge-error).
"""
import sys

import numpy as np
from osgeo import gdal


def read(path):
    a = gdal.Open(path).ReadAsArray().astype(float)
    return a[None] if a.ndim == 2 else a


def ranks(v):
    """Ranks from 1, ties sharing their mean rank."""
    order = np.argsort(v, kind="stable")
    s = v[order]
    first = np.r_[True, s[1:] != s[:-1]]
    group = np.cumsum(first) - 1
    starts = np.flatnonzero(first)
    ends = np.r_[starts[1:], len(s)]
    r = np.empty(len(v))
    r[order] = ((starts + ends + 1) / 2.0)[group]
    return r


def summary(estimated, actual):
    rho = np.corrcoef(ranks(estimated), ranks(actual))[0, 1]
    return rho, np.mean(actual <= estimated)


def main(case, filled_path, error_path):
    truth, filled, error = read(case + "/truth.tif"), read(filled_path), read(error_path)
    scored = (read(case + "/gaps.tif")[0] != 0) & (read(case + "/fill_mask.tif")[0] != 0)
    actual = np.abs(filled - truth)[:, scored]
    estimated = error[:, scored]
    for b in range(len(actual)):
        rho, within = summary(estimated[b], actual[b])
        print(f"band {b + 1}: rank correlation {rho:5.2f}, within one standard error {100 * within:3.0f} %")
    rho, within = summary(estimated.ravel(), actual.ravel())
    print(f"all bands: rank correlation {rho:5.2f}, within one standard error {100 * within:3.0f} %"
          f" ({scored.sum()} pixels)")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
