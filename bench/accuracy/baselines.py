"""The two simple fills the accuracy report compares Pelvane with, each run as a
process of its own so that its wall time counts reading and writing the files
as pelvane-cli's does.

    baselines.py gdal TARGET TARGET_MASK OUTPUT MAX_DISTANCE SMOOTHING
        GDAL's FillNodata on every band of TARGET: inverse-distance interpolation
        from the edges of the gaps (TARGET_MASK non-zero), searching up to
        MAX_DISTANCE pixels, then SMOOTHING passes of a 3x3 smoothing filter.
    baselines.py copy TARGET FILL TARGET_MASK FILL_MASK OUTPUT
        The fill image copied into the target's gaps where it is valid; where
        it is missing too the pixel stays as the target had it.

The output is a GeoTIFF of the target's size, type and georeferencing.
"""
import sys

import numpy as np
from osgeo import gdal

gdal.UseExceptions()


def gap_mask(path):
    return gdal.Open(path).ReadAsArray() != 0


def gdal_fill(target, target_mask, output, max_distance, smoothing):
    src = gdal.Open(target)
    valid = gdal.GetDriverByName("MEM").Create("", src.RasterXSize, src.RasterYSize, 1, gdal.GDT_Byte)
    valid.GetRasterBand(1).WriteArray((~gap_mask(target_mask)).astype(np.uint8))  # 0: fill this pixel
    work = gdal.GetDriverByName("MEM").CreateCopy("", src)
    for b in range(1, work.RasterCount + 1):
        gdal.FillNodata(work.GetRasterBand(b), valid.GetRasterBand(1), float(max_distance), int(smoothing))
    gdal.GetDriverByName("GTiff").CreateCopy(output, work)


def copy_fill(target, fill, target_mask, fill_mask, output):
    src = gdal.Open(target)
    out = src.ReadAsArray()
    use = gap_mask(target_mask) & ~gap_mask(fill_mask)
    out[:, use] = gdal.Open(fill).ReadAsArray()[:, use]
    work = gdal.GetDriverByName("MEM").CreateCopy("", src)
    for b in range(work.RasterCount):
        work.GetRasterBand(b + 1).WriteArray(out[b])
    gdal.GetDriverByName("GTiff").CreateCopy(output, work)


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "gdal":
        gdal_fill(*sys.argv[2:])
    elif len(sys.argv) == 7 and sys.argv[1] == "copy":
        copy_fill(*sys.argv[2:])
    else:
        sys.exit(__doc__)
