"""pelvane.fill on numpy arrays: the olinda reference outputs, every sample
type against pelvane-cli, the errors, progress, cancelling and Ctrl-C."""

import doctest
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import pelvane
import pelvane._jobs
from conftest import OLINDA, assert_same, read, run_cli, run_job_directly, second_date, write


@pytest.mark.parametrize("expected, suffix, settings, gap_arrays", [
    pytest.param("sarnic_range.tif", "", {"method": "sarnic"}, False, id="valid_range"),
    pytest.param("both_masks.tif", "", {}, True, id="gap_arrays"),
    pytest.param("tolvek_range_f64.tif", "_f64", {"method": "tolvek", "valid_range": (1, 255)},
                 False, id="float64"),
])
def test_olinda_gives_the_reference_output(expected, suffix, settings, gap_arrays):
    target = read(OLINDA / f"target{suffix}.tif")
    fill = read(OLINDA / f"fill{suffix}.tif")
    if gap_arrays:
        settings = dict(settings, target_gaps=read(OLINDA / "target_mask.tif")[0] != 0,
                        fill_gaps=read(OLINDA / "fill_mask.tif")[0] != 0)
    assert_same(pelvane.fill(target, fill, **settings), read(OLINDA / "expected" / expected))


def test_refine_gives_what_pelvane_cli_refine_writes(tmp_path):
    out = tmp_path / "cli.tif"
    run_cli("--target", OLINDA / "target.tif", "--fill", OLINDA / "fill.tif", "--output", out,
            "--refine")
    target, fill = read(OLINDA / "target.tif"), read(OLINDA / "fill.tif")
    refined = pelvane.fill(target, fill, refine=True)
    assert_same(refined, read(out))
    assert not np.array_equal(refined, read(OLINDA / "expected" / "both_range.tif"))


def test_several_fills_reach_the_job_in_order(scene, monkeypatch):
    fill2, fill2_mask = second_date(scene)
    masks = (scene.target_mask, scene.fill_mask, fill2_mask)
    run_job_directly(scene.folder / "job.tif", scene.target, [scene.fill, fill2], masks)
    seen = []
    monkeypatch.setattr(pelvane._jobs, "run_job", lambda s, *rest: seen.extend(
        read(p) for p in (s.fill_image_path, *s.other_fill_image_paths, *s.other_fill_mask_paths))
        or pelvane._pelvane.run_job(s, *rest))
    target, fills, gaps = read(scene.target), [read(scene.fill), read(fill2)], [read(m) != 0 for m in masks]
    filled = pelvane.fill(target, fills, refine=True, target_gaps=gaps[0], fill_gaps=gaps[1:])
    assert_same(filled, read(scene.folder / "job.tif"))
    for got, expected in zip(seen, [*fills, read(fill2_mask)], strict=True):
        assert_same(got, expected)
    one = pelvane.fill(target, fills[:1], refine=True, target_gaps=gaps[0], fill_gaps=gaps[1:2])  # a list of one
    assert_same(one, pelvane.fill(target, fills[0], refine=True, target_gaps=gaps[0], fill_gaps=gaps[1]))


def layouts(array: np.ndarray, layout: str) -> np.ndarray:
    if layout == "strided":  # every other column of a wider array
        wide = np.zeros(array.shape[:2] + (array.shape[2] * 2,), array.dtype)
        wide[:, :, ::2] = array
        return wide[:, :, ::2]
    if layout == "big-endian":
        return array.astype(array.dtype.newbyteorder(">"))
    if layout == "one band, 2-D":
        return array[2]
    return array


@pytest.mark.parametrize("dtype, layout", [
    *[(t, "packed") for t in ("uint8", "int8", "uint16", "int16", "uint32", "int32",
                              "uint64", "int64", "float32", "float64")],
    ("uint16", "strided"), ("int32", "big-endian"), ("float32", "one band, 2-D"),
])
def test_every_sample_type_gives_what_pelvane_cli_writes(scene, dtype, layout):
    # Wider types get values beyond a byte's range; int8 keeps olinda's bytes.
    scale = 1 if dtype in ("uint8", "int8") else 3
    arrays = []
    for name in (scene.target, scene.fill):
        values = read(name).astype(np.int64) * scale
        arrays.append(values.astype(np.uint8).view(np.int8) if dtype == "int8" else values.astype(dtype))
    target, fill = (layouts(a, layout) for a in arrays)
    files = [write(scene.folder / f"{n}_{dtype}.tif", np.asarray(a).reshape((-1,) + a.shape[-2:]))
             for n, a in (("target", target), ("fill", fill))]
    out = scene.folder / "cli.tif"
    run_cli("--target", files[0], "--fill", files[1], "--output", out,
            "--valid-range", 1, 255 * scale, "--max-iterations", 40)

    result = pelvane.fill(target, fill, valid_range=(1, 255 * scale), max_iterations=40)
    assert result.shape == target.shape and result.dtype == target.dtype.newbyteorder("=")
    assert_same(np.ascontiguousarray(result).reshape((-1,) + result.shape[-2:]), read(out))


def test_progress_climbs_to_one():
    target = np.full((1, 30, 30), 90, np.uint8)
    target[0, 12:14] = 0
    fractions = []
    pelvane.fill(target, np.full_like(target, 40), progress=fractions.append)
    assert fractions == sorted(fractions) and fractions[0] == 0.0 and fractions[-1] == 1.0


def test_progress_is_not_called_again_once_it_said_stop():
    target = np.full((1, 60, 60), 90, np.uint8)
    target[0, 12:30] = 0
    calls = []

    def progress(fraction):
        calls.append(fraction)
        return fraction == 0.0  # stop at the first move
    with pytest.raises(pelvane.Cancelled):
        pelvane.fill(target, None, method="tolvek", tolerance=0, progress=progress)
    assert len(calls) == 2 and calls[1] > 0, calls


def test_a_message_that_does_not_stop_the_job_is_a_warning():
    # A pixel missing in both images, with no fill value present around it.
    target = np.full((1, 20, 20), 100.0)
    target[0, 10, 10] = 0
    fill = np.full((1, 20, 20), 50.0)
    fill[0, 8:13, 8:13] = 0
    fill[0, 10, 10] = 5e-7
    with pytest.warns(pelvane.JobWarning, match="^alr Error!$"):
        pelvane.fill(target, fill, method="sarnic", valid_range=(1, 255))


def complex_target(t, f):
    return pelvane.fill(t.astype(np.complex64), f)


@pytest.mark.parametrize("call, raised, text", [
    (lambda t, f: pelvane.fill(t, f[:, :, :-1]), pelvane.Error,
     "Target image and fill image must have the same size!"),
    (lambda t, f: pelvane.fill(t[:2], f[:2], target_gaps=t[:2] == 0, fill_gaps=f[0] == 0),
     pelvane.Error, "The fill mask file has fewer bands than the target mask file!"),
    (complex_target, TypeError, "complex samples"),
    (lambda t, f: pelvane.fill(t.astype(np.float16), f), TypeError, "float16"),
    (lambda t, f: pelvane.fill(t[0, 0], f[0, 0]), ValueError, "bands, rows, columns"),
    (lambda t, f: pelvane.fill(t, f, valid_range=(1, 9), nodata=0), ValueError, "one way"),
    (lambda t, f: pelvane.fill(t, f, target_gaps=t[0] == 0), ValueError, "fill_gaps"),
    (lambda t, f: pelvane.fill(t, f, target_gaps=t[0], fill_gaps=f[0]), TypeError, "boolean"),
    (lambda t, f: pelvane.fill(t, f, target_gaps=t[0, :5] == 0, fill_gaps=f[0] == 0),
     ValueError, "differs from the target"),
    (lambda t, f: pelvane.fill(t, f, method="sarnik"), ValueError, "method"),
    (lambda t, f: pelvane.fill(t.astype(np.uint16), f.astype(np.uint16)), ValueError,
     "samples are UInt16, and the default valid range"),
    (lambda t, f: pelvane.fill(t, f, threads=0), ValueError, "threads must be at least 1"),
    (lambda t, f: pelvane.fill(t, None), ValueError, "fill is needed unless the method is tolvek"),
    (lambda t, f: pelvane.fill(t, f, nodata="abc"), TypeError, "nodata must be a number"),
    (lambda t, f: pelvane.fill(t, f, nodata=True), TypeError, "nodata must be a number"),
    (lambda t, f: pelvane.fill(t, f, nodata=300), ValueError, "nodata 300 is outside uint8"),
    (lambda t, f: pelvane.fill(t, f, nodata=(0, 2.5)), ValueError, "nodata 2.5 is not a uint8"),
    (lambda t, f: pelvane.fill(t, f, tolerance=float("nan")), ValueError,
     "tolerance must be a number, not NaN"),
    (lambda t, f: pelvane.fill(t, f, regularization=float("nan")), ValueError,
     "regularization must be a finite number"),
    (lambda t, f: pelvane.fill(t, [f, f]), ValueError, "fill takes several images only with the refined fill"),
    (lambda t, f: pelvane.fill(t, [f, f[:, :5]], refine=True), ValueError,
     r"fill 2: shape \(6, 5, 120\) differs from the target's \(6, 60, 120\)"),
    (lambda t, f: pelvane.fill(t, [f, f], refine=True, target_gaps=t[0] == 0, fill_gaps=[f[0] == 0]),
     ValueError, r"fill_gaps must be given once for each fill image \(2 fill images, 1 fill mask\)"),
])
def test_bad_input_is_refused(scene, call, raised, text):
    with pytest.raises(raised, match=text) as error:
        call(read(scene.target), read(scene.fill))
    if raised is pelvane.Error:
        assert str(error.value) == text


def test_the_example_in_the_docstring_holds():
    assert doctest.testmod(pelvane._jobs).failed == 0


def test_ctrl_c_stops_the_job_with_keyboard_interrupt(tmp_path):
    # The child announces the job's first progress; the signal arrives while it runs.
    child = textwrap.dedent(f"""
        import signal, sys
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import pelvane
        def progress(fraction):
            if fraction == 0.0:
                print("running", flush=True)
        try:
            pelvane.fill_files({str(OLINDA / 'target.tif')!r}, {str(OLINDA / 'fill.tif')!r},
                               {str(tmp_path / 'out.tif')!r}, progress=progress)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    process = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline() == "running\n"
        process.send_signal(signal.SIGINT)
        assert process.communicate(timeout=120)[0] == "interrupted\n"
    finally:
        process.kill()
    assert not (tmp_path / "out.tif").exists()
