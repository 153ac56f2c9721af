"""GDAL names for numpy arrays, so that the job opens arrays as it opens files.

An array becomes a dataset of GDAL's MEM driver over the array's own memory
("MEM:::DATAPOINTER=..."), without a copy. A no-data value is a band property
such a name cannot carry, so an image with one is wrapped in a small VRT in
/vsimem/ that adds it. The job writes its output as a GeoTIFF in /vsimem/,
which is read back into a new array. Every /vsimem/ file goes with the
`Datasets` that made it.
"""

from __future__ import annotations

import uuid

import numpy as np
from osgeo import gdal

# The sample types the job reads and writes, as GDAL names them. int8 goes as
# Byte: GDAL before 3.7 has no signed byte type and reads signed-byte
# GeoTIFFs as their unsigned bytes, so the job sees what pelvane-cli sees.
_GDAL_TYPES = {
    np.dtype(np.uint8): "Byte",
    np.dtype(np.int8): "Byte",
    np.dtype(np.uint16): "UInt16",
    np.dtype(np.int16): "Int16",
    np.dtype(np.uint32): "UInt32",
    np.dtype(np.int32): "Int32",
    np.dtype(np.uint64): "UInt64",
    np.dtype(np.int64): "Int64",
    np.dtype(np.float32): "Float32",
    np.dtype(np.float64): "Float64",
}


def _as_bands(name: str, array: np.ndarray) -> np.ndarray:
    """(rows, columns) becomes one band; anything but 2 or 3 axes is refused."""
    if array.ndim == 2:
        array = array[np.newaxis]
    if array.ndim != 3:
        raise ValueError(
            f"{name}: expected an array shaped (bands, rows, columns) or (rows, columns), "
            f"got shape {array.shape}")
    if 0 in array.shape:
        raise ValueError(f"{name}: the array is empty (shape {array.shape})")
    return array


def _addressable(array: np.ndarray) -> np.ndarray:
    """The array itself when GDAL can read it in place, else a packed copy.

    The MEM driver reads aligned samples in the machine's byte order, at
    positive steps along every axis that has more than one element.
    """
    steps_ok = all(step > 0 for step, n in zip(array.strides, array.shape) if n > 1)
    if array.dtype.isnative and array.flags.aligned and steps_ok:
        return array
    return np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))


def image_array(name: str, array) -> np.ndarray:
    """An image argument as a (bands, rows, columns) array GDAL can read in place."""
    array = np.asarray(array)
    if array.dtype.kind == "c":
        raise TypeError(f"{name}: complex samples are not supported ({array.dtype})")
    if array.dtype.newbyteorder("=") not in _GDAL_TYPES:
        names = ", ".join(sorted({str(t) for t in _GDAL_TYPES}))
        raise TypeError(f"{name}: samples of type {array.dtype} are not supported; use one of {names}")
    return _addressable(_as_bands(name, array))


def gap_array(name: str, gaps, rows: int, columns: int) -> np.ndarray:
    """A boolean gap argument (True: missing) as a byte array GDAL can read in place."""
    gaps = np.asarray(gaps)
    if gaps.dtype != np.bool_:
        raise TypeError(f"{name}: expected a boolean array (True where a pixel is missing), "
                        f"got {gaps.dtype}")
    gaps = _as_bands(name, gaps)
    if gaps.shape[1:] != (rows, columns):
        raise ValueError(f"{name}: shape {gaps.shape[1:]} differs from the target's {(rows, columns)}")
    return _addressable(gaps.view(np.uint8))


def dtype_of_gdal_type(name: str) -> np.dtype:
    """The numpy type of GDAL's sample type `name`; float64 for a name it does
    not know."""
    for dtype, gdal_name in _GDAL_TYPES.items():
        if gdal_name == name and dtype != np.int8:
            return dtype
    return np.dtype(np.float64)


def gdal_type_name(array: np.ndarray) -> str:
    """GDAL's name of the sample type under which the job sees `array`."""
    return "Byte" if array.dtype == np.bool_ else _GDAL_TYPES[array.dtype]


def _mem_name(array: np.ndarray) -> str:
    """GDAL's name for a MEM dataset over the memory of a 3-D array."""
    bands, rows, columns = array.shape
    # Steps along single-element axes are never taken; any positive value does.
    pixel = array.strides[2] if columns > 1 else array.itemsize
    line = array.strides[1] if rows > 1 else pixel * columns
    band = array.strides[0] if bands > 1 else line * rows
    return (f"MEM:::DATAPOINTER={array.ctypes.data:#x},PIXELS={columns},LINES={rows},"
            f"BANDS={bands},DATATYPE={gdal_type_name(array)},PIXELOFFSET={pixel},LINEOFFSET={line},"
            f"BANDOFFSET={band}")


class Datasets:
    """The in-memory datasets of one job; a context manager that removes them.

    The arrays must stay alive and unchanged until the job is over: the
    datasets read their memory.
    """

    def __init__(self) -> None:
        self._prefix = f"/vsimem/pelvane-{uuid.uuid4().hex}-"
        self._files: list[str] = []
        self._arrays: list[np.ndarray] = []

    def __enter__(self) -> "Datasets":
        return self

    def __exit__(self, *exc) -> None:
        for path in self._files:
            if gdal.VSIStatL(path) is not None:
                gdal.Unlink(path)

    def _file(self, name: str) -> str:
        path = self._prefix + name
        self._files.append(path)
        return path

    def name(self, array: np.ndarray, nodata=None) -> str:
        """The name under which the job opens `array`, with `nodata` as every
        band's no-data value when it is not None."""
        self._arrays.append(array)
        name = _mem_name(array)
        if nodata is None:
            return name
        if array.dtype == np.int8:
            # The job sees the unsigned bytes; so must the no-data value.
            nodata = int(np.array(nodata, dtype=np.int8).view(np.uint8))
        path = self._file(f"{len(self._files)}.vrt")
        vrt = gdal.Translate(path, name, format="VRT", noData=nodata)
        if vrt is None:
            raise ValueError(f"GDAL refused the no-data value {nodata!r}: {gdal.GetLastErrorMsg()}")
        vrt = None  # written on closing
        return path

    def wrap(self, path: str, nodata, signed_bytes: bool = False) -> str:
        """A VRT over the raster at `path` with `nodata` as every band's
        no-data value, in place of the file's own. Signed bytes are Byte
        samples to GDAL, and so must their no-data value be."""
        if signed_bytes:
            nodata = int(np.array(nodata, dtype=np.int8).view(np.uint8))
        vrt_path = self._file(f"{len(self._files)}.vrt")
        vrt = gdal.Translate(vrt_path, path, format="VRT", noData=nodata)
        if vrt is None:
            raise ValueError(f"GDAL cannot open {path} with the no-data value {nodata!r}: "
                             f"{gdal.GetLastErrorMsg()}")
        vrt = None  # written on closing
        return vrt_path

    def output(self) -> str:
        """A /vsimem/ path for the job's output."""
        return self._file("output.tif")

    def read(self, path: str, out: np.ndarray) -> None:
        """Reads the raster at `path` into `out`, a (bands, rows, columns) array
        of the raster's own sample type (int8 for Byte read as signed)."""
        dataset = gdal.Open(path)
        if dataset is None:
            raise OSError(f"cannot read the job's output: {gdal.GetLastErrorMsg()}")
        if out.dtype == np.int8:
            out = out.view(np.uint8)
        for b in range(out.shape[0]):
            dataset.GetRasterBand(b + 1).ReadAsArray(buf_obj=out[b])
