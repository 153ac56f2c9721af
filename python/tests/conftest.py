"""Shared helpers of the pelvane package's tests: the olinda data, small crops
of it, GeoTIFFs written and read through GDAL, and pelvane-cli runs."""

import os
import pathlib
import subprocess
from dataclasses import dataclass

import numpy as np
import pytest
from osgeo import gdal, gdal_array

ROOT = pathlib.Path(__file__).resolve().parents[2]
OLINDA = pathlib.Path(os.environ.get("PELVANE_TEST_DATA", ROOT / "tests" / "data")) / "olinda"
CLI = os.environ.get("PELVANE_CLI", str(ROOT / "build" / "bin" / "pelvane-cli"))


def read(path) -> np.ndarray:
    """Every band of a raster, (bands, rows, columns), in its own sample type."""
    dataset = gdal.Open(str(path))
    assert dataset is not None, f"cannot open {path}"
    array = dataset.ReadAsArray()
    return array[np.newaxis] if array.ndim == 2 else array


def write(path, array: np.ndarray, nodata=None) -> str:
    """A GeoTIFF of a (bands, rows, columns) array; int8 as signed bytes."""
    dtype = np.dtype(array.dtype).newbyteorder("=")
    options = ["PIXELTYPE=SIGNEDBYTE"] if dtype == np.int8 else []
    bands, rows, columns = array.shape
    gdal_type = gdal_array.NumericTypeCodeToGDALTypeCode(dtype)
    dataset = gdal.GetDriverByName("GTiff").Create(str(path), columns, rows, bands, gdal_type, options)
    for b in range(bands):
        band = np.ascontiguousarray(array[b], dtype=dtype)
        dataset.GetRasterBand(b + 1).WriteArray(band.view(np.uint8) if dtype == np.int8 else band)
        if nodata is not None:
            dataset.GetRasterBand(b + 1).SetNoDataValue(nodata)
    dataset = None
    return str(path)


def assert_same(got: np.ndarray, expected: np.ndarray) -> None:
    """Same shape and every sample the same bits."""
    assert got.shape == expected.shape
    assert got.dtype.itemsize == expected.dtype.itemsize
    differ = got.view(np.uint8) != expected.view(np.uint8)
    assert not differ.any(), f"{np.count_nonzero(differ)} bytes differ"


def run_cli(*args) -> subprocess.CompletedProcess:
    run = subprocess.run([CLI, "-q", *map(str, args)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return run


@dataclass
class Scene:
    """A small crop of olinda: 120 x 60 pixels, 6 Byte bands, with stripes."""
    folder: pathlib.Path
    target: str
    fill: str
    target_mask: str
    fill_mask: str


def crop_olinda(folder: pathlib.Path, column: int = 0, prefix: str = "") -> Scene:
    paths = {}
    for name in ("target", "fill", "target_mask", "fill_mask"):
        paths[name] = str(folder / f"{prefix}{name}.tif")
        gdal.Translate(paths[name], str(OLINDA / f"{name}.tif"), srcWin=[column, 0, 120, 60])
    return Scene(folder, **paths)


@pytest.fixture
def scene(tmp_path) -> Scene:
    return crop_olinda(tmp_path)
