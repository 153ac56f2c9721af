"""python3 -m pelvane.batch on a LocalCluster of two worker processes."""

import csv
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

from conftest import crop_olinda, run_cli, run_job_directly, second_date

# Well above what four tiny scenes need, so a dead worker fails the test
# instead of hanging it.
TIMEOUT = 150


def batch(*args, cwd) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "pelvane.batch", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=TIMEOUT)


def summary(folder: pathlib.Path) -> dict:
    with open(folder / "summary.csv", newline="") as stream:
        return {row["scene"]: row for row in csv.DictReader(stream)}


def test_fills_an_archive_reports_the_broken_scene_and_resumes(tmp_path):
    inputs = tmp_path / "archive"
    inputs.mkdir()
    scenes = [crop_olinda(inputs, column, prefix=f"s{i}_") for i, column in enumerate((0, 110, 220))]
    (inputs / "broken.tif").write_text("not a raster")
    with open(inputs / "scenes.csv", "w", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(["target", "fill", "output", "target_mask", "fill_mask", "method", "co",
                         "refine", "error_output"])
        writer.writerow(["s0_target.tif", "s0_fill.tif", "", "", "", "", "", "yes", "s0_error.tif"])
        writer.writerow(["s1_target.tif", "s1_fill.tif", "deep/s1.tif", "s1_target_mask.tif",
                         "s1_fill_mask.tif", "sarnic", "COMPRESS=DEFLATE PREDICTOR=2", "", ""])
        writer.writerow(["broken.tif", "s2_fill.tif", "", "", "", "", "", "", ""])
        writer.writerow(["s2_target.tif", "s2_fill.tif", "", "", "", "tolvek", "", "", ""])
    out = tmp_path / "out"

    first = batch("archive/scenes.csv", "--output-dir", "out", "--workers", 2,
                  "--max-iterations", 50, cwd=tmp_path)
    assert first.returncode == 1, first.stderr
    assert "4 scenes: 3 done, 0 skipped, 1 failed" in first.stdout
    report = summary(out)
    assert {name: row["status"] for name, row in report.items()} == {
        "s0_target.tif": "done", "s1_target.tif": "done", "broken.tif": "failed",
        "s2_target.tif": "done"}
    assert report["broken.tif"]["message"] == "Can not open target image file!"
    assert "broken.tif" in first.stderr  # the progress line of the failed scene

    # Each output has the bytes pelvane-cli writes with the row's settings.
    s0, s1, s2 = scenes
    expected = {
        "s0_target.tif": [s0.target, s0.fill, "--refine", "--error-output",
                          tmp_path / "reference_error.tif"],
        "deep/s1.tif": [s1.target, s1.fill, "--target-mask", s1.target_mask, "--fill-mask",
                        s1.fill_mask, "--method", "sarnic", "--co", "COMPRESS=DEFLATE",
                        "--co", "PREDICTOR=2"],
        "s2_target.tif": [s2.target, s2.fill, "--method", "tolvek"],
    }
    for output, args in expected.items():
        reference = tmp_path / "reference.tif"
        run_cli("--target", args[0], "--fill", args[1], "--output", reference,
                "--max-iterations", 50, *args[2:])
        assert (out / output).read_bytes() == reference.read_bytes(), output
    assert (out / "s0_error.tif").read_bytes() == (tmp_path / "reference_error.tif").read_bytes()
    stamps = {output: os.stat(out / output).st_mtime_ns for output in expected}

    again = batch("archive/scenes.csv", "--output-dir", "out", "--workers", 2, cwd=tmp_path)
    assert again.returncode == 1, again.stderr
    assert "4 scenes: 0 done, 3 skipped, 1 failed" in again.stdout
    assert summary(out)["broken.tif"]["status"] == "failed"
    assert stamps == {output: os.stat(out / output).st_mtime_ns for output in expected}


def test_a_row_with_several_dates_and_a_row_whose_masks_do_not_match(tmp_path):
    scene = crop_olinda(tmp_path)
    fill2, fill2_mask = second_date(scene)
    (tmp_path / "scenes.csv").write_text(
        "target,fill,output,target_mask,fill_mask,refine\n"
        "target.tif,fill.tif; fill2.tif,two.tif,target_mask.tif,fill_mask.tif;fill2_mask.tif,yes\n"
        "target.tif,fill.tif;fill2.tif,short.tif,target_mask.tif,fill_mask.tif,yes\n")
    run = batch("scenes.csv", "--output-dir", "out", "--workers", 1, cwd=tmp_path)
    assert "2 scenes: 1 done, 0 skipped, 1 failed" in run.stdout, run.stderr
    assert "line 3: fill_mask: 1 mask(s) for 2 fill image(s)" in (tmp_path / "out" / "summary.csv").read_text()
    run_job_directly(tmp_path / "job.tif", scene.target, [scene.fill, fill2], (scene.target_mask, scene.fill_mask, fill2_mask))
    assert (tmp_path / "out" / "two.tif").read_bytes() == (tmp_path / "job.tif").read_bytes()


@pytest.mark.parametrize("header, problem", [
    ("target,fill,colour", "unknown column(s): colour"),
    ("target,output", "no 'fill' column"),
    ("target,fill,target_mask,target-mask", "a column appears twice"),
])
def test_a_scene_list_it_cannot_use_is_a_usage_error(tmp_path, header, problem):
    (tmp_path / "scenes.csv").write_text(header + "\na.tif,b.tif\n")
    run = batch("scenes.csv", "--output-dir", "out", cwd=tmp_path)
    assert run.returncode == 2
    assert problem in run.stderr


def test_rows_that_cannot_run_fail_and_the_others_go_on(tmp_path):
    (tmp_path / "scenes.csv").write_text(
        "target,fill,output,similar\n"
        "a.tif,b.tif,,many\n"
        ",b.tif,,\n"
        "c.tif,b.tif,same.tif,\n"
        "d.tif,b.tif,same.tif,\n"
        "e.tif,b.tif,,,extra\n")
    run = batch("scenes.csv", "--output-dir", "out", "--workers", 1, cwd=tmp_path)
    assert run.returncode == 1
    with open(tmp_path / "out" / "summary.csv", newline="") as stream:
        messages = [row["message"] for row in csv.DictReader(stream)]
    assert messages[0].startswith("line 2: similar: invalid literal")
    assert messages[1] == "line 3: no target"
    assert messages[2] == "Can not open target image file!"  # c.tif went to the cluster
    assert messages[3].startswith("line 5: same output as line 4")
    assert messages[4] == "line 6: more cells than columns"


def test_outputs_that_would_be_inputs_fail_and_only_finished_outputs_are_skipped(tmp_path):
    crop_olinda(tmp_path)
    (tmp_path / "scenes.csv").write_text("target,fill\ntarget.tif,fill.tif\ntarget_mask.tif,absent.tif\n")
    into_inputs = batch("scenes.csv", "--output-dir", ".", "--workers", 1, cwd=tmp_path)
    assert into_inputs.returncode == 1, into_inputs.stderr
    assert "2 scenes: 0 done, 0 skipped, 2 failed" in into_inputs.stdout
    report = summary(tmp_path)
    assert report["target.tif"]["message"] == "Output image path must differ from the input paths!"
    assert report["target_mask.tif"]["message"] == "Can't open fill image file!"
    assert report["target_mask.tif"]["line"] == "3"

    # A raster at the output path that no run of this list wrote is filled over;
    # the output a run wrote is skipped the next time.
    (tmp_path / "out").mkdir()
    shutil.copy(tmp_path / "target.tif", tmp_path / "out" / "target.tif")
    (tmp_path / "one.csv").write_text("target,fill\ntarget.tif,fill.tif\n")
    for done, skipped in ((1, 0), (0, 1)):
        run = batch("one.csv", "--output-dir", "out", "--workers", 1, cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        assert f"1 scenes: {done} done, {skipped} skipped, 0 failed" in run.stdout
    assert summary(tmp_path / "out")["target.tif"]["output"] == str(tmp_path / "out" / "target.tif")


@pytest.mark.parametrize("signal_number, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_the_scenes_and_leaves_a_summary(tmp_path, signal_number, status):
    crop_olinda(tmp_path)
    (tmp_path / "scenes.csv").write_text("target,fill,output\ntarget.tif,fill.tif,a.tif\n"
                                         "target.tif,fill.tif,b.tif\n")
    out = tmp_path / "out"
    # Tolvek without a tolerance runs to its iteration limit: long enough to interrupt.
    process = subprocess.Popen(
        [sys.executable, "-m", "pelvane.batch", "scenes.csv", "--output-dir", "out", "--workers", "2",
         "--method", "tolvek", "--tolerance", "0", "--max-iterations", "10000000"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)  # a terminal's Ctrl-C reaches the whole process group
    try:
        deadline = time.monotonic() + TIMEOUT
        while len(list(out.glob("*.pelvane-tmp-*"))) < 2 and time.monotonic() < deadline:
            time.sleep(0.1)
        os.killpg(process.pid, signal_number)
        stdout, stderr = process.communicate(timeout=TIMEOUT)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == status, stderr
    assert "Traceback" not in stderr, stderr
    assert "2 scenes: 0 done, 0 skipped, 0 failed, 2 stopped" in stdout, stdout + stderr
    assert {row["status"] for row in summary(out).values()} == {"stopped"}
    assert sorted(p.name for p in out.iterdir()) == ["summary.csv"]
