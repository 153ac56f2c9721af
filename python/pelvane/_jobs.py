"""fill() and fill_files(): one gap-filling job, over numpy arrays or over files.

Both build the job's settings as pelvane-cli does from its options and run
the same job through run_job; they differ only in where the images live.
"""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Callable, Iterable
from typing import Literal

import numpy as np
import numpy.typing as npt
from osgeo import gdal

from . import _in_memory
from ._pelvane import (ERROR_IS_INPUT, OUTPUT_IS_INPUT, STATUS_IS_INPUT, Error, JobSettings, RunOptions,
                       check_settings, raster_sample_type_name, run_job, same_file)

# Every default comes from the job's own records.
_SETTINGS = JobSettings()
_OPTIONS = RunOptions()

Method = Literal["sarnic", "tolvek", "both"]
Progress = Callable[[float], bool | None]
Path = str | os.PathLike[str]
NodataValue = float | tuple[float | None, float | None]
# One fill image, or several in the order of preference (the refined fill).
Fills = npt.ArrayLike | list[npt.ArrayLike] | tuple[npt.ArrayLike, ...]
FillPaths = Path | list[Path] | tuple[Path, ...]

_METHODS = ("sarnic", "tolvek", "both")

# The keyword of each setting check_settings names by pelvane-cli's option,
# where it is not the option's name with "_" for "-".
_KEYWORDS = {"of": "output_format"}


def _job(method: str, similar: int, regularization: float, max_iterations: int,
         tolerance: float, threads: int | None,
         creation_options: Iterable[str] = (), refine: bool = False) -> tuple[JobSettings, RunOptions]:
    """Settings and options of a job; check them with _check once complete."""
    if method not in _METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, _METHODS))}, not {method!r}")
    settings = JobSettings()
    settings.use_sarnic = int(method != "tolvek")
    settings.use_tolvek = int(method != "sarnic")
    settings.similar_pixel_count = similar
    settings.regularization = regularization
    settings.max_iterations = max_iterations
    settings.refine = int(bool(refine))
    options = RunOptions()
    options.solver_progress = False
    options.solver_tolerance = tolerance
    if threads is not None:
        options.threads = threads
    if isinstance(creation_options, str):
        creation_options = [creation_options]
    creation_options = list(creation_options)
    for option in creation_options:
        if not isinstance(option, str) or option.find("=") < 1:
            raise ValueError(f"creation options take the form NAME=VALUE, not {option!r}")
    options.creation_options = creation_options
    return settings, options


def _check(settings: JobSettings, options: RunOptions, keywords: dict[str, str] | None = None,
           **given) -> None:
    """The checks pelvane-cli makes too, from the same function of the job;
    a number out of its range is shown as the caller gave it (`given`).
    `keywords` names settings whose keyword differs in the caller."""
    problem = check_settings(settings, options)
    if problem is not None:
        setting, text = problem
        keyword = {**_KEYWORDS, **(keywords or {})}.get(setting, setting.replace("-", "_"))
        shown = f", not {given[keyword]!r}" if keyword in given and "NaN" not in text else ""
        raise ValueError(f"{keyword} {text}{shown}")


def _choose_gaps(settings: JobSettings, masks: bool, valid_range, nodata: bool) -> bool:
    """Mask files (or arrays), a valid range or the images' no-data: one of them.

    Returns True when none is given and the default range 1..255 marks the gaps.
    """
    if [masks, valid_range is not None, nodata].count(True) > 1:
        raise ValueError("mark the gaps one way: with masks, valid_range or nodata")
    settings.use_threshold = int(not masks and not nodata)
    settings.use_nodata = int(nodata)
    if valid_range is not None:
        low, high = valid_range
        settings.valid_min = float(low)
        settings.valid_max = float(high)
    return not masks and not nodata and valid_range is None


def _refuse_default_range(type_name: str, ways: str) -> None:
    """The default range 1..255 suits Byte samples only, as pelvane-cli says too:
    on 16-bit or float samples it would make nearly every pixel a gap. An
    empty name (a file GDAL cannot open) passes, for the job to report."""
    if type_name not in ("", "Byte"):
        hint = ("\n  Samples that are NaN are always gaps: where the target's gaps are NaN, "
                "mark exactly those with valid_range=(-inf, inf).") if type_name.startswith("Float") else ""
        raise ValueError(f"The target's samples are {type_name}, and the default valid range "
                         f"1 255 suits Byte samples only. Mark the gaps with {ways}.{hint}")


def _nodata_value(value, dtype: np.dtype):
    """A no-data value checked against the samples it is to mark: a number the
    sample type holds (NaN and the infinities for float samples)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"nodata must be a number, not {value!r}")
    if dtype.kind == "f":
        if math.isfinite(value) and abs(value) > np.finfo(dtype).max:
            raise ValueError(f"nodata {value!r} is outside {dtype} samples")
        return float(value)
    if not math.isfinite(value) or value != math.floor(value):
        raise ValueError(f"nodata {value!r} is not a {dtype} sample")
    info = np.iinfo(dtype)
    if not info.min <= int(value) <= info.max:
        raise ValueError(f"nodata {value!r} is outside {dtype} samples ({info.min} to {info.max})")
    return int(value)


def _nodata_pair(nodata) -> tuple[object, object]:
    """The no-data values of the target and of the fill image."""
    if not isinstance(nodata, tuple):
        return nodata, nodata
    if len(nodata) != 2:
        raise TypeError(f"nodata takes one value or a pair (target, fill), not {nodata!r}")
    return nodata


def _several(value) -> bool:
    """A list or tuple of images (arrays or paths), rather than one image."""
    return isinstance(value, (list, tuple))


def _image_list(fill) -> bool:
    """A list (tuple) of arrays is several fill images; a nested list of
    numbers stays one image, as numpy reads it."""
    return _several(fill) and all(hasattr(image, "__array__") for image in fill)


def _fill_arrays(fill) -> list[np.ndarray]:
    """The fill images as arrays GDAL reads in place, each named in errors by
    its place in a list ("fill 2")."""
    if fill is None:
        return []
    if not _image_list(fill):
        return [_in_memory.image_array("fill", fill)]
    if not fill:
        raise ValueError("fill: the list of fill images is empty")
    return [_in_memory.image_array(f"fill {i}", image) for i, image in enumerate(fill, start=1)]


def fill(target: npt.ArrayLike,
         fill: Fills | None,
         *,
         target_gaps: npt.ArrayLike | None = None,
         fill_gaps: npt.ArrayLike | list[npt.ArrayLike] | None = None,
         valid_range: tuple[float, float] | None = None,
         nodata: NodataValue | None = None,
         method: Method = "both",
         similar: int = _SETTINGS.similar_pixel_count,
         regularization: float = _SETTINGS.regularization,
         max_iterations: int = _SETTINGS.max_iterations,
         tolerance: float = _OPTIONS.solver_tolerance,
         threads: int | None = None,
         progress: Progress | None = None,
         refine: bool = False) -> np.ndarray:
    """Fill the gaps of an image from an image of the same scene at another date.

    Runs the job of ``pelvane-cli`` over the arrays: the result holds exactly
    the values ``pelvane-cli`` writes for the same pixels and settings.

    Parameters
    ----------
    target : array_like, shape (bands, rows, columns) or (rows, columns)
        The image with gaps. Any real sample type: uint8, int8, uint16,
        int16, uint32, int32, uint64, int64, float32 or float64. int8 samples
        are processed as their unsigned bytes, as ``pelvane-cli`` reads
        signed-byte GeoTIFFs.
    fill : array_like, list of array_like, or None
        The same scene at another date, with the target's shape; any real
        sample type. May be None with ``method="tolvek"``, which fills from
        the target alone. With ``refine=True``, a list (or tuple) of arrays
        gives several dates, in the order of preference: each gap pixel is
        filled from the dates that predict it best. A list of one array is
        that array.
    target_gaps, fill_gaps : array_like of bool, optional
        True where a pixel of the target (of the fill image) is missing,
        shaped (rows, columns), or (k, rows, columns) where a pixel is missing
        when any of its k values is True. ``fill_gaps`` may be left out with
        ``method="tolvek"``; with several fill images it is a list of as
        many arrays, in the same order.
    valid_range : (float, float), optional
        A pixel with any band below the first or above the second value is
        missing. This is how gaps are found when none of ``target_gaps``,
        ``valid_range`` and ``nodata`` is given, with the range 1 to 255;
        for a uint8 target only, any other type raises ValueError.
    nodata : float or (float or None, float or None), optional
        No-data value of every band of both images, or of the target and of
        the fill image in turn (None: no value). A pixel is missing where any
        band holds it, as GDAL's mask of the image says; NaN is a valid choice,
        and then the pixels no stage fills stay NaN. A value the sample type
        cannot hold (300 for uint8, 2.5 for an integer type) raises
        ValueError, anything but a number (a bool, a string) TypeError.
    method : {"both", "sarnic", "tolvek"}, optional
        Sarnic, the regression against the fill image; Tolvek, the
        total-variation restoration of the pixels missing in both; or both.
    similar : int, optional
        Similar pixels per regression (with refine: at most 15, and at
        most 8 once the search's window reaches 15 x 15 pixels).
    regularization : float, optional
        Weight of the valid pixels in Tolvek.
    max_iterations : int, optional
        Tolvek's iteration limit per band and strip.
    tolerance : float, optional
        Tolvek's convergence tolerance.
    threads : int, optional
        Worker threads of the job; by default all the machine's hardware threads,
        as pelvane-cli. The output is the same for any number.
    progress : callable, optional
        Called with the fraction of the work done (0 to 1) as the job moves
        on: through each strip's regression, then through the Tolvek solver's
        iterations, so that it moves with the time the job takes; and with
        the same fraction every quarter second while it does not. Returning
        False stops the job; it is not called again after that.
    refine : bool, optional
        The refined fill (``pelvane-cli --refine``): the fill image is first
        moved onto the target by the sub-pixel shift that best explains it;
        pixels missing in both
        images are interpolated from the edges of their gap (with Tolvek
        alone, Tolvek starts from a smooth interpolation); Sarnic corrects its
        prediction by its errors at the valid pixels around and leans on a
        spatial prediction where the fill image is unreliable. False keeps
        the standard fill, value for value.

    Returns
    -------
    numpy.ndarray
        The filled image, with the target's shape and sample type (in the
        machine's byte order).

    Raises
    ------
    pelvane.Error
        The job stopped with one of its messages (``str(error)``), for
        instance "Target image and fill image must have the same size!".
    pelvane.Cancelled
        ``progress`` returned False.
    TypeError, ValueError
        An argument the job cannot take: complex samples, a wrong shape,
        gaps marked more than one way, a no-data value the samples cannot
        hold, no fill image for a method that needs one, a setting that is
        NaN or out of its range (checked as ``pelvane-cli`` checks it).
        With several fill images, the one at fault is named by its place
        ("fill 2: shape ... differs from the target's ..."), and several
        fill images without ``refine=True`` are refused.

    Warns
    -----
    pelvane.JobWarning
        A message the job showed without stopping, and its warnings (most of
        the target is gaps, none is).

    See Also
    --------
    fill_files : the same job on files, writing a GeoTIFF.

    Notes
    -----
    The job runs without the GIL, on the calling thread, in strips of bounded
    memory. The arrays are read in place while it runs; do not change them
    meanwhile. A Ctrl-C stops it and raises KeyboardInterrupt.

    Examples
    --------
    >>> import numpy as np, pelvane
    >>> target = np.full((1, 40, 40), 100, np.uint8)
    >>> target[0, 10:12, :] = 0                     # a stripe of gaps
    >>> other = np.full((1, 40, 40), 50, np.uint8)
    >>> filled = pelvane.fill(target, other)
    >>> int(filled.min()), filled.dtype
    (100, dtype('uint8'))

    Several dates, the closest first:

    >>> later = np.full((1, 40, 40), 60, np.uint8)
    >>> filled = pelvane.fill(target, [other, later], refine=True)
    >>> int(filled.min())
    100
    """
    target_array = _in_memory.image_array("target", target)
    fill_arrays = _fill_arrays(fill)
    bands, rows, columns = target_array.shape
    if len(fill_arrays) > 1:
        # Each named here; the job would only say that some fill differs.
        for i, array in enumerate(fill_arrays, start=1):
            if array.shape != target_array.shape:
                raise ValueError(f"fill {i}: shape {array.shape} differs from the target's "
                                 f"{target_array.shape}")
    settings, options = _job(method, similar, regularization, max_iterations, tolerance, threads,
                             refine=refine)
    target_nodata, fill_nodata = _nodata_pair(nodata)
    if target_nodata is not None:
        target_nodata = _nodata_value(target_nodata, target_array.dtype)
    fill_nodata = [None if fill_nodata is None else _nodata_value(fill_nodata, array.dtype)
                   for array in fill_arrays]
    fill_gap_list = (list(fill_gaps) if _several(fill_gaps) and _image_list(fill)
                     else [] if fill_gaps is None else [fill_gaps])
    masks = target_gaps is not None or fill_gaps is not None
    if _choose_gaps(settings, masks, valid_range, nodata is not None):
        # int8 goes to the job as Byte; pelvane-cli names a signed-byte file Int8.
        _refuse_default_range(
            "Int8" if target_array.dtype == np.int8 else _in_memory.gdal_type_name(target_array),
            "valid_range=(MIN, MAX), with target_gaps and fill_gaps, or with nodata")
    if masks:
        if target_gaps is None:
            raise ValueError("fill_gaps needs target_gaps")
        if fill_gaps is None and method != "tolvek":
            raise ValueError("target_gaps needs fill_gaps, unless method='tolvek'")

    with _in_memory.Datasets() as datasets:
        settings.target_image_path = datasets.name(target_array, target_nodata)
        fill_names = [datasets.name(a, v) for a, v in zip(fill_arrays, fill_nodata)]
        if fill_names:
            settings.fill_image_path = fill_names[0]
            settings.other_fill_image_paths = fill_names[1:]
        if target_gaps is not None:
            settings.target_mask_path = datasets.name(
                _in_memory.gap_array("target_gaps", target_gaps, rows, columns))
        gap_names = [datasets.name(_in_memory.gap_array(
                         "fill_gaps" if len(fill_gap_list) == 1 else f"fill_gaps {i}", gaps, rows, columns))
                     for i, gaps in enumerate(fill_gap_list, start=1)]
        if gap_names:
            settings.fill_mask_path = gap_names[0]
            settings.other_fill_mask_paths = gap_names[1:]
        settings.output_image_path = datasets.output()
        _check(settings, options, {"fill-mask": "fill_gaps"}, threads=threads, tolerance=tolerance)
        run_job(settings, options, progress)
        result = np.empty(target_array.shape, target_array.dtype)
        datasets.read(settings.output_image_path, result)
    return result.reshape(np.shape(target))


def _exists(path: str) -> bool:
    return gdal.VSIStatL(path) is not None if path.startswith("/vsi") else os.path.lexists(path)


def _remove(path: str) -> None:
    if path.startswith("/vsi"):
        gdal.Unlink(path)
    else:
        os.remove(path)


def _paths(value) -> list[str]:
    """One path or a list (tuple) of them, as a list of strings."""
    if value is None:
        return []
    return [os.fspath(path) for path in value] if _several(value) else [os.fspath(value)]


def fill_files(target: Path,
               fill: FillPaths | None,
               output: Path,
               *,
               target_mask: Path | None = None,
               fill_mask: FillPaths | None = None,
               valid_range: tuple[float, float] | None = None,
               nodata: bool | NodataValue | None = None,
               method: Method = "both",
               similar: int = _SETTINGS.similar_pixel_count,
               regularization: float = _SETTINGS.regularization,
               max_iterations: int = _SETTINGS.max_iterations,
               tolerance: float = _OPTIONS.solver_tolerance,
               threads: int | None = None,
               progress: Progress | None = None,
               creation_options: Iterable[str] = (),
               refine: bool = False,
               status_output: Path | None = None,
               error_output: Path | None = None,
               output_format: str = _OPTIONS.output_format) -> list[str]:
    """Fill the gaps of an image file and write the result as a GeoTIFF.

    The job of ``pelvane-cli``, with the same options: the output has the
    same bytes as the file ``pelvane-cli`` writes.

    Parameters
    ----------
    target : str or path-like
        The image with gaps: any raster GDAL opens.
    fill : str or path-like, a list of them, or None
        The same scene at another date, with the target's width, height and
        band count. May be None with ``method="tolvek"``. With
        ``refine=True``, a list (or tuple) gives several dates, in the order
        of preference, as for `fill`.
    output : str or path-like
        The GeoTIFF to write, with the target's size, band count, sample type
        and georeferencing. It must not be one of the inputs, nor be named
        after another format (``.png``, say).
    target_mask, fill_mask : str or path-like, optional
        Mask files: a pixel is missing where any band of its mask is non-zero.
        ``fill_mask`` may be left out with ``method="tolvek"``; with several
        fill images it is a list of as many masks, in the same order.
    valid_range : (float, float), optional
        A pixel with any band outside the range is missing. This is how gaps
        are found when none of the masks, ``valid_range`` and ``nodata`` is
        given, with the range 1 to 255; for a Byte target only, any other
        type raises ValueError.
    nodata : bool, float or (float or None, float or None), optional
        True: a pixel is missing where GDAL's mask of its image is 0 in any
        band (its no-data value, an alpha band, an internal or ``.msk``
        mask). A value, or a pair for the target and the fill image, means
        what it means for `fill`: the images' no-data value, in place of the
        files' own. The output keeps the target's no-data value. False or
        None: not this way.
    method, similar, regularization, max_iterations, tolerance, threads, progress
        As for `fill`.
    creation_options : iterable of str, optional
        Creation options of the output format, ``"NAME=VALUE"``, such as
        ``"COMPRESS=DEFLATE"``. ``BIGTIFF=IF_SAFER`` unless given.
    refine : bool, optional
        As for `fill`.
    status_output : str or path-like, optional
        Also write a one-band Byte GeoTIFF of the output's size and
        georeferencing telling how each pixel was filled (``pelvane-cli
        --status-output``; the codes are in its band's metadata).
    error_output : str or path-like, optional
        With ``refine=True`` only: also write a Float32 GeoTIFF with the
        estimated standard error of every filled value, one band per image
        band: 0 at valid pixels, its no-data value where nothing was
        estimated (``pelvane-cli --error-output``).
    output_format : {"GTiff", "COG"}, optional
        ``"COG"`` makes a Cloud Optimized GeoTIFF of the finished output with
        GDAL's COG driver (``pelvane-cli --of COG``); the creation options are
        then the COG driver's.

    Returns
    -------
    list of str
        The messages the job showed, in order, the last being "Job
        Done:Total Time:... ms" (the others also arrive as warnings).

    Raises
    ------
    pelvane.Error
        The job stopped with one of its messages (``str(error)``), for
        instance "Can not open target image file!".
    pelvane.Cancelled
        ``progress`` returned False.
    TypeError, ValueError
        Gaps marked more than one way, a malformed option, a missing input
        or a setting out of its range, as ``pelvane-cli`` refuses them.

    Warns
    -----
    pelvane.JobWarning
        A message the job showed without stopping, and its warnings (most of
        the target is gaps, none is, what GDAL warned of).

    See Also
    --------
    fill : the same job on numpy arrays.

    Notes
    -----
    When the job does not finish (an error, a cancel, a Ctrl-C), an output
    that did not exist before the call is removed.
    """
    settings, options = _job(method, similar, regularization, max_iterations, tolerance,
                             threads, creation_options, refine)
    settings.status_output_path = "" if status_output is None else os.fspath(status_output)
    settings.error_output_path = "" if error_output is None else os.fspath(error_output)
    options.output_format = output_format
    # True takes the files' own no-data; a value (or a pair) is the value.
    values = None if nodata is None or isinstance(nodata, (bool, np.bool_)) else _nodata_pair(nodata)
    if _choose_gaps(settings, target_mask is not None or fill_mask is not None, valid_range,
                    nodata is True or values is not None):
        _refuse_default_range(raster_sample_type_name(os.fspath(target)),
                              "valid_range=(MIN, MAX), with target_mask and fill_mask, or with "
                              "nodata=True")
    settings.target_image_path = os.fspath(target)
    fills, fill_masks = _paths(fill), _paths(fill_mask)
    if _several(fill) and not fills:
        raise ValueError("fill: the list of fill images is empty")
    settings.fill_image_path = fills[0] if fills else ""
    settings.other_fill_image_paths = fills[1:]
    settings.output_image_path = os.fspath(output)
    settings.target_mask_path = "" if target_mask is None else os.fspath(target_mask)
    settings.fill_mask_path = fill_masks[0] if fill_masks else ""
    settings.other_fill_mask_paths = fill_masks[1:]
    _check(settings, options, threads=threads, tolerance=tolerance)
    if values is None:
        return _run_writing(settings, options, progress)

    # The images go to the job through VRTs that carry the values; the output
    # must still not be written over the files themselves.
    _refuse_writing_over_inputs(settings)
    with _in_memory.Datasets() as datasets:
        def wrapped(path: str, value) -> str:
            type_name = raster_sample_type_name(path) if path else ""
            # A file GDAL cannot open goes to the job as it is, to say so.
            if not type_name or value is None:
                return path
            dtype = np.dtype(np.int8) if type_name == "Int8" else _in_memory.dtype_of_gdal_type(type_name)
            return datasets.wrap(path, _nodata_value(value, dtype), dtype == np.int8)

        target_value, fill_value = values
        settings.target_image_path = wrapped(settings.target_image_path, target_value)
        # The fill images' value is every fill image's.
        settings.fill_image_path = wrapped(settings.fill_image_path, fill_value)
        settings.other_fill_image_paths = [wrapped(path, fill_value)
                                           for path in settings.other_fill_image_paths]
        return _run_writing(settings, options, progress)


def _refuse_writing_over_inputs(settings: JobSettings) -> None:
    """The job's own check of its output, status and error paths against its
    inputs, made here where the job sees the inputs only through VRTs."""
    inputs = [settings.target_image_path, settings.fill_image_path, settings.target_mask_path,
              settings.fill_mask_path, *settings.other_fill_image_paths,
              *settings.other_fill_mask_paths]
    output, status = settings.output_image_path, settings.status_output_path
    error_raster = settings.error_output_path
    for path, message, others in ((output, OUTPUT_IS_INPUT, inputs),
                                  (status, STATUS_IS_INPUT, inputs + [output]),
                                  (error_raster, ERROR_IS_INPUT, inputs + [output, status])):
        if path and any(source and same_file(path, source) for source in others):
            error = Error(message)
            error.detail = path
            error.add_note(path)
            raise error


def _run_writing(settings: JobSettings, options: RunOptions, progress) -> list[str]:
    """Runs a job that writes a file and returns its messages; an output the
    job did not finish and that did not exist before is removed."""
    output_path = settings.output_image_path
    existed = _exists(output_path)
    try:
        return run_job(settings, options, progress)
    except BaseException:
        if not existed and _exists(output_path):
            _remove(output_path)
        raise
