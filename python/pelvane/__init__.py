"""Pelvane: fill the gaps of multi-band satellite rasters.

A target image with gaps (the no-data stripes of a failed scanner, cloud
holes, any pixel marked missing) is filled from an image of the same scene at
another date, by the job behind ``pelvane-cli``. The refined fill also takes
several dates at once, in the order of preference: pass a list of fill images.

Functions
---------
fill
    Fill numpy arrays shaped (bands, rows, columns); returns the result.
fill_files
    Fill image files and write a GeoTIFF, as ``pelvane-cli`` does.

Exceptions
----------
Error
    The job stopped with one of its messages; ``error.detail`` says what it
    is about (the file's path, both sizes where two disagree, GDAL's words).
Cancelled
    The progress callback asked the job to stop (a kind of Error).
JobWarning
    A message or warning the job showed without stopping.

For whole archives on one machine or a Dask cluster, see ``python3 -m
pelvane.batch --help``.
"""

from ._pelvane import Cancelled, Error, JobWarning, __version__
from ._jobs import fill, fill_files

# Shown as pelvane.fill, where users find them.
fill.__module__ = fill_files.__module__ = __name__

__all__ = ["fill", "fill_files", "Error", "Cancelled", "JobWarning", "__version__"]
