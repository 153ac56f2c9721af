"""Shared helpers of the pelvane package's tests: the olinda data, small crops
of it, GeoTIFFs written and read through GDAL, and pelvane-cli runs."""

import os
import pathlib
import subprocess
from dataclasses import dataclass

import numpy as np
import pytest
from osgeo import gdal, gdal_array

from pelvane._pelvane import JobSettings, RunOptions, run_job

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


def second_date(scene: Scene) -> tuple[str, str]:
    """Another fill image, darker, with gaps of its own; and its mask file."""
    fill = read(scene.fill).astype(np.int32)
    other = np.where(fill == 0, 50, np.clip(fill * 9 // 10 + 4, 1, 255)).astype(np.uint8)
    other[:, 20:35, 30:70] = 0
    mask = (other == 0).any(axis=0, keepdims=True).astype(np.uint8)
    return write(scene.folder / "fill2.tif", other), write(scene.folder / "fill2_mask.tif", mask)


def run_job_directly(output, target, fills, masks) -> None:
    """The job itself, refined, given several fills and masks (the target's first)."""
    settings, paths = JobSettings(), [str(path) for path in (target, output, *fills, *masks)]
    settings.target_image_path, settings.output_image_path, settings.fill_image_path = paths[:3]
    settings.other_fill_image_paths = paths[3:2 + len(fills)]
    settings.target_mask_path, settings.fill_mask_path, *settings.other_fill_mask_paths = paths[2 + len(fills):]
    settings.use_threshold, settings.refine = 0, 1
    run_job(settings, RunOptions())
