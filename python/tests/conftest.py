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
    """Another fill image of the scene, darker, with a gap of its own where the
    first fill image is valid and valid where it misses; and its mask file."""
    fill = read(scene.fill).astype(np.int32)
    other = np.where(fill == 0, 50, np.clip(fill * 9 // 10 + 4, 1, 255)).astype(np.uint8)
    other[:, 20:35, 30:70] = 0
    mask = (other == 0).any(axis=0, keepdims=True).astype(np.uint8)
    return (write(scene.folder / "fill2.tif", other),
            write(scene.folder / "fill2_mask.tif", mask))


def run_job_directly(output, target, fills, masks=(), **fields) -> None:
    """The refined fill of the job itself given several fill images (and with
    `masks`, the target's mask then one per fill image): what each front end
    must write for the same inputs."""
    settings = JobSettings()
    settings.target_image_path, settings.output_image_path = str(target), str(output)
    settings.fill_image_path = str(fills[0])
    settings.other_fill_image_paths = [str(path) for path in fills[1:]]
    settings.use_threshold = int(not masks)
    if masks:
        settings.target_mask_path, settings.fill_mask_path = str(masks[0]), str(masks[1])
        settings.other_fill_mask_paths = [str(path) for path in masks[2:]]
    settings.refine = 1
    for name, value in fields.items():
        setattr(settings, name, value)
    options = RunOptions()
    options.solver_progress = False
    run_job(settings, options)
