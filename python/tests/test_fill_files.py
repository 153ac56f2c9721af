"""pelvane.fill_files against pelvane-cli, stopped jobs, and the no-data mode
of both front ends against the equivalent mask files."""

import pathlib

import numpy as np
import pytest
from osgeo import gdal

import pelvane
from conftest import OLINDA, assert_same, read, run_cli, write


def same_file_bytes(a, b) -> bool:
    return pathlib.Path(a).read_bytes() == pathlib.Path(b).read_bytes()


@pytest.mark.parametrize("cli_args, keywords", [
    pytest.param([], {}, id="defaults"),
    pytest.param(["--target-mask", "{target_mask}", "--fill-mask", "{fill_mask}",
                  "--co", "COMPRESS=DEFLATE", "--co", "PREDICTOR=2"],
                 {"target_mask": "{target_mask}", "fill_mask": "{fill_mask}",
                  "creation_options": ["COMPRESS=DEFLATE", "PREDICTOR=2"]}, id="masks_deflate"),
    pytest.param(["--method", "sarnic", "--similar", 12, "--valid-range", 2, 250],
                 {"method": "sarnic", "similar": 12, "valid_range": (2, 250)}, id="sarnic"),
    pytest.param(["--method", "tolvek", "--regularization", 500, "--max-iterations", 40,
                  "--tolerance", 1e-4, "--threads", 2],
                 {"method": "tolvek", "regularization": 500, "max_iterations": 40,
                  "tolerance": 1e-4, "threads": 2}, id="tolvek"),
    pytest.param(["--refine", "--status-output", "{status}", "--error-output", "{error}"],
                 {"refine": True, "status_output": "{status}", "error_output": "{error}"},
                 id="refine_status_error"),
])
def test_fill_files_writes_the_bytes_pelvane_cli_writes(scene, cli_args, keywords):
    paths = {"target_mask": scene.target_mask, "fill_mask": scene.fill_mask}
    cli_args = [a.format(status=scene.folder / "cli_status.tif", error=scene.folder / "cli_error.tif",
                         **paths) if isinstance(a, str) else a for a in cli_args]
    keywords = {k: v.format(status=scene.folder / "py_status.tif", error=scene.folder / "py_error.tif",
                            **paths) if isinstance(v, str) else v for k, v in keywords.items()}
    run_cli("--target", scene.target, "--fill", scene.fill, "--output", scene.folder / "cli.tif",
            *cli_args)
    messages = pelvane.fill_files(scene.target, scene.fill, scene.folder / "py.tif", **keywords)
    assert messages[-1].startswith("Job Done:Total Time:")
    assert same_file_bytes(scene.folder / "cli.tif", scene.folder / "py.tif")
    if "status_output" in keywords:
        assert same_file_bytes(scene.folder / "cli_status.tif", scene.folder / "py_status.tif")
    if "error_output" in keywords:
        assert same_file_bytes(scene.folder / "cli_error.tif", scene.folder / "py_error.tif")


@pytest.mark.parametrize("call, raised, text", [
    (lambda s, out: pelvane.fill_files(s.folder / "absent.tif", s.fill, out),
     pelvane.Error, "Can not open target image file!"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, s.target), pelvane.Error,
     "Output image path must differ from the input paths!"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, target_mask=s.folder / "absent.tif",
                                       fill_mask=s.fill_mask),
     pelvane.Error, "Can not open the target mask file!"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, progress=lambda f: False),
     pelvane.Cancelled, "The job was stopped!"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, progress=lambda f: 1 / 0),
     ZeroDivisionError, "division"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, nodata=True, valid_range=(1, 9)),
     ValueError, "one way"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, creation_options=["COMPRESS"]),
     ValueError, "NAME=VALUE"),
    (lambda s, out: pelvane.fill_files(OLINDA / "target_f64.tif", OLINDA / "fill_f64.tif", out),
     ValueError, "samples are Float64, and the default valid range"),
    (lambda s, out: pelvane.fill_files(s.target, None, out), ValueError,
     "fill is needed unless the method is tolvek"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, target_mask=s.target_mask),
     ValueError, "fill_mask is needed with a target mask unless the method is tolvek"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, nodata=-9999, valid_range=(1, 255)),
     ValueError, "one way"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, nodata=300), ValueError,
     "nodata 300 is outside uint8"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, tolerance=float("nan")),
     ValueError, "tolerance must be a number, not NaN"),
    (lambda s, out: pelvane.fill_files(s.target, s.fill, out, error_output=s.folder / "err.tif"),
     ValueError, r"error_output needs the refined fill \(refine\)"),
    (lambda s, out: pelvane.fill_files(s.target, [s.fill, s.fill], out, refine=True, target_mask=s.target_mask,
                                       fill_mask=[s.fill_mask]), ValueError, "fill_mask must be given once for each"),
])
def test_a_job_that_does_not_finish_leaves_no_output(scene, call, raised, text):
    output = scene.folder / "out.tif"
    target_before = pathlib.Path(scene.target).read_bytes()
    with pytest.raises(raised, match=text) as error:
        call(scene, output)
    if issubclass(raised, pelvane.Error):
        assert str(error.value) == text
    assert not output.exists()
    assert pathlib.Path(scene.target).read_bytes() == target_before


def test_nodata_agrees_with_the_equivalent_mask_files(scene):
    # Olinda's gaps are 0 in every band, and its mask files mark exactly them.
    target, fill = read(scene.target), read(scene.fill)
    target_nodata = write(scene.folder / "target_nodata.tif", target, nodata=0)
    fill_nodata = write(scene.folder / "fill_nodata.tif", fill, nodata=0)
    masks = scene.folder / "masks.tif"
    run_cli("--target", scene.target, "--fill", scene.fill, "--output", masks,
            "--target-mask", scene.target_mask, "--fill-mask", scene.fill_mask)
    cli_nodata = scene.folder / "cli_nodata.tif"
    run_cli("--target", target_nodata, "--fill", fill_nodata, "--output", cli_nodata, "--nodata")
    py_nodata = scene.folder / "py_nodata.tif"
    pelvane.fill_files(target_nodata, fill_nodata, py_nodata, nodata=True)

    # A value means the same in fill_files as in fill: the images' no-data value.
    py_value = scene.folder / "py_value.tif"
    pelvane.fill_files(scene.target, scene.fill, py_value, nodata=0)

    expected = read(masks)
    assert_same(read(cli_nodata), expected)
    assert same_file_bytes(cli_nodata, py_nodata)
    assert_same(read(py_value), expected)
    assert gdal.Open(str(py_value)).GetRasterBand(1).GetNoDataValue() == 0
    assert gdal.Open(str(cli_nodata)).GetRasterBand(1).GetNoDataValue() == 0
    assert_same(pelvane.fill(target, fill, nodata=0), expected)
    assert_same(pelvane.fill(target, fill, nodata=(0, 0)), expected)
    assert_same(pelvane.fill(target, fill, target_gaps=read(scene.target_mask) != 0,
                             fill_gaps=read(scene.fill_mask) != 0), expected)


def test_nan_as_nodata_marks_the_nan_pixels(scene):
    # NaN never equals itself, yet GDAL's mask knows it as a no-data value.
    original, fill = read(scene.target).astype(np.float64), read(scene.fill).astype(np.float64)
    # A block missing in both images, too wide for the fallback to reach.
    original[:, 20:40, 50:80] = 0
    fill[:, 10:50, 40:90] = 0
    target = original.copy()
    target[target == 0] = np.nan
    result = pelvane.fill(target, fill, nodata=(np.nan, 0), method="sarnic")
    expected = pelvane.fill(original, fill, method="sarnic", valid_range=(1, 255))
    # Pixels no stage fills keep the output's mark of a missing pixel: NaN
    # here, 0 with the valid range.
    left = np.isnan(result)
    assert_same(result[~left], expected[~left])
    assert left.sum() == ((original == 0) & (expected == 0)).sum() > 0
