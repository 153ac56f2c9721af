"""Fill a whole archive of scenes on a Dask cluster: one task per scene.

    python3 -m pelvane.batch SCENES.csv --output-dir DIR [--scheduler ADDRESS]

SCENES.csv has a header row. Columns ``target`` and ``fill`` are required;
``output``, ``target_mask`` and ``fill_mask`` are optional. Input paths are
relative to the CSV's folder, ``output`` to DIR (by default the target's file
name). Further columns carry settings named like pelvane-cli's options
(``method``, ``similar``, ``regularization``, ``max-iterations``,
``tolerance``, ``valid-range``, ``nodata``, ``co``, ``threads``); an empty
cell takes the value given on the command line, or the job's default.

Each scene is one task that calls pelvane.fill_files. Without --scheduler the
tasks run on a LocalCluster of this machine, its workers fitted to the cores
and memory; with --scheduler on the Dask cluster at that address, whose
workers must see the same paths. A failing scene records its message and the
others go on; a rerun skips the scenes whose output is already there. The end
writes DIR/summary.csv (scene, status, seconds, message) and one line of
totals. Exit status 0 when every scene is done or skipped, 1 when any failed,
2 for a usage error.
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple

# Memory one scene's job needs at most, whatever the scene's size: the job
# works in strips of a bounded size (measured figures in docs/python.md).
SCENE_MEMORY = 1_500_000_000

STATUS_DONE = "done"
STATUS_SKIPPED = "skipped"
STATUS_FAILED = "failed"


def _valid_range(text: str) -> Tuple[float, float]:
    values = text.replace(",", " ").split()
    if len(values) != 2:
        raise ValueError(f"expected MIN MAX, got {text!r}")
    return float(values[0]), float(values[1])


def _yes_no(text: str) -> bool:
    answer = text.strip().lower()
    if answer in ("1", "yes", "true", "on"):
        return True
    if answer in ("0", "no", "false", "off"):
        return False
    raise ValueError(f"expected yes or no, got {text!r}")


def _method(text: str) -> str:
    if text not in ("sarnic", "tolvek", "both"):
        raise ValueError(f"expected sarnic, tolvek or both, got {text!r}")
    return text


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(f"expected a whole number of at least 1, got {text!r}")
    return value


# Settings a column (or an option of this command) may carry, under the name
# of pelvane-cli's option: fill_files' keyword, the parser of a cell, and the
# option as pelvane-cli takes it.
@dataclass(frozen=True)
class Setting:
    keyword: str
    parse: Callable[[str], object]
    help: str
    option: Dict[str, object]


def _typed(parse: Callable[[str], object], metavar: str) -> Dict[str, object]:
    return {"type": parse, "metavar": metavar}


SETTINGS: Dict[str, Setting] = {
    "method": Setting("method", _method, "sarnic, tolvek or both", _typed(_method, "METHOD")),
    "similar": Setting("similar", int, "similar pixels per regression", _typed(int, "N")),
    "regularization": Setting("regularization", float, "weight of the valid pixels in Tolvek",
                              _typed(float, "R")),
    "max-iterations": Setting("max_iterations", int, "Tolvek iteration limit", _typed(int, "N")),
    "tolerance": Setting("tolerance", float, "Tolvek convergence tolerance", _typed(float, "T")),
    "valid-range": Setting("valid_range", _valid_range, "valid value range (cell: 'MIN MAX')",
                           {"type": float, "nargs": 2, "metavar": ("MIN", "MAX")}),
    "nodata": Setting("nodata", _yes_no, "gaps from GDAL's no-data values and masks (cell: yes/no)",
                      {"action": "store_const", "const": True}),
    "co": Setting("creation_options", str.split,
                  "GeoTIFF creation option, repeatable (cell: 'NAME=VALUE ...')",
                  {"action": "append", "metavar": "NAME=VALUE"}),
    "threads": Setting("threads", _positive, "worker threads of each scene's job",
                       _typed(_positive, "N")),
    "refine": Setting("refine", _yes_no, "the refined fill (cell: yes/no)",
                      {"action": "store_const", "const": True}),
}
PATHS = ("target", "fill", "output", "target-mask", "fill-mask")


class UsageError(Exception):
    """The scene list cannot be used at all."""


@dataclass
class Scene:
    line: int          # in the CSV, the header being line 1
    name: str          # the target as the CSV writes it
    target: str = ""
    fill: Optional[str] = None
    output: str = ""
    settings: Dict[str, object] = field(default_factory=dict)  # fill_files keywords
    error: str = ""    # why the row cannot run
    status: str = ""
    seconds: float = 0.0
    message: str = ""


def _column(name: str) -> str:
    return name.strip().lower().replace("_", "-")


def read_scenes(csv_path: str, output_dir: str, defaults: Dict[str, object]) -> List[Scene]:
    """The scenes of the list, paths made absolute and settings parsed.

    A row that cannot run keeps its reason in `error`; a header that cannot
    be used raises UsageError.
    """
    base = os.path.dirname(os.path.abspath(csv_path))
    try:
        with open(csv_path, newline="", encoding="utf-8-sig") as stream:
            rows = list(csv.reader(stream))
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise UsageError(f"cannot read {csv_path}: {error}") from None
    if not rows:
        raise UsageError(f"{csv_path} is empty")
    header = [_column(name) for name in rows[0]]
    unknown = [name for name in header if name not in PATHS and name not in SETTINGS]
    if unknown:
        raise UsageError(f"{csv_path}: unknown column(s): {', '.join(unknown)}")
    for required in ("target", "fill"):
        if required not in header:
            raise UsageError(f"{csv_path}: no '{required}' column")
    if len(set(header)) != len(header):
        raise UsageError(f"{csv_path}: a column appears twice")

    def inside(folder: str, path: str) -> str:
        return os.path.normpath(os.path.join(folder, os.path.expanduser(path)))

    scenes: List[Scene] = []
    outputs: Dict[str, int] = {}
    for number, row in enumerate(rows[1:], start=2):
        if not any(cell.strip() for cell in row):
            continue
        cells = {name: value.strip() for name, value in zip(header, row)}
        scene = Scene(line=number, name=cells.get("target", ""))
        scenes.append(scene)
        if len(row) > len(header):
            scene.error = f"line {number}: more cells than columns"
            continue
        if not cells.get("target"):
            scene.error = f"line {number}: no target"
            continue
        scene.target = inside(base, cells["target"])
        if cells.get("fill"):
            scene.fill = inside(base, cells["fill"])
        scene.output = inside(output_dir, cells.get("output") or os.path.basename(scene.target))
        for mask in ("target-mask", "fill-mask"):
            if cells.get(mask):
                scene.settings[mask.replace("-", "_")] = inside(base, cells[mask])
        scene.settings.update(defaults)
        try:
            for name, setting in SETTINGS.items():
                if cells.get(name):
                    scene.settings[setting.keyword] = setting.parse(cells[name])
        except ValueError as error:
            scene.error = f"line {number}: {name}: {error}"
            continue
        if scene.output in outputs:
            scene.error = f"line {number}: same output as line {outputs[scene.output]}: {scene.output}"
            continue
        outputs[scene.output] = number
    return scenes


def _complete(output: str) -> bool:
    """An output that exists and opens as a raster: written by an earlier run
    (the job writes its output under another name and renames it at the end)."""
    if not os.path.exists(output):
        return False
    from osgeo import gdal
    gdal.PushErrorHandler("CPLQuietErrorHandler")
    try:
        return gdal.OpenEx(output, gdal.OF_RASTER) is not None
    finally:
        gdal.PopErrorHandler()


_process_tuned = False


def fill_scene(target: str, fill: Optional[str], output: str,
               settings: Dict[str, object]) -> Tuple[str, float, str]:
    """The task of one scene, run on a worker: (status, seconds, message)."""
    global _process_tuned
    import pelvane
    from pelvane import _pelvane

    start = time.monotonic()
    if _complete(output):
        return STATUS_SKIPPED, 0.0, ""
    if not _process_tuned:
        _pelvane.tune_process_for_strips()
        _process_tuned = True
    try:
        os.makedirs(os.path.dirname(output), exist_ok=True)
        pelvane.fill_files(target, fill, output, **settings)
    except pelvane.Error as error:
        return STATUS_FAILED, time.monotonic() - start, str(error)
    except Exception as error:  # a scene must not take the others down
        return STATUS_FAILED, time.monotonic() - start, f"{type(error).__name__}: {error}"
    return STATUS_DONE, time.monotonic() - start, ""


class ProgressBar:
    """Scenes finished out of all, on standard error: a bar redrawn in place on
    a terminal, one line per scene elsewhere (logs of a batch system)."""

    WIDTH = 30

    def __init__(self, total: int, stream=sys.stderr) -> None:
        self.total = total
        self.finished = 0
        self.failed = 0
        self.stream = stream
        self.terminal = stream.isatty()
        self.start = time.monotonic()

    def _elapsed(self) -> str:
        return time.strftime("%H:%M:%S", time.gmtime(time.monotonic() - self.start))

    def scene_finished(self, scene: Scene) -> None:
        self.finished += 1
        self.failed += scene.status == STATUS_FAILED
        if self.terminal:
            if scene.status == STATUS_FAILED:
                self.stream.write(f"\r\033[K{scene.name}: {scene.message}\n")
            filled = self.WIDTH * self.finished // max(self.total, 1)
            self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] "
                              f"{self.finished}/{self.total} scenes, {self.failed} failed, "
                              f"{self._elapsed()}")
            if self.finished == self.total:
                self.stream.write("\n")
        else:
            detail = f": {scene.message}" if scene.message else ""
            self.stream.write(f"[{self.finished}/{self.total}] {scene.status} {scene.name} "
                              f"({scene.seconds:.1f} s){detail}\n")
        self.stream.flush()


def _local_cluster(workers: Optional[int]):
    """A LocalCluster of one-thread worker processes: as many as there are
    cores, fewer when memory holds fewer scenes at once."""
    import psutil
    from distributed import LocalCluster

    cores = os.cpu_count() or 1
    if workers is None:
        memory = psutil.virtual_memory().total
        workers = max(1, min(cores, int(memory * 0.8) // SCENE_MEMORY))
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return cluster, max(1, cores // workers)


def run_scenes(scenes: Sequence[Scene], client, progress: ProgressBar) -> None:
    """Submits every runnable scene and records how each ends."""
    from distributed import as_completed

    for scene in scenes:
        if scene.error:
            scene.status, scene.message = STATUS_FAILED, scene.error
            progress.scene_finished(scene)
    runnable = [scene for scene in scenes if not scene.error]
    if not runnable:
        return
    futures = {client.submit(fill_scene, s.target, s.fill, s.output, s.settings, pure=False): s
               for s in runnable}
    for future in as_completed(futures):
        scene = futures[future]
        try:
            scene.status, scene.seconds, scene.message = future.result()
        except Exception as error:  # the worker died (KilledWorker) or the task was lost
            scene.status, scene.message = STATUS_FAILED, f"{type(error).__name__}: {error}"
        progress.scene_finished(scene)


def write_summary(path: str, scenes: Sequence[Scene]) -> None:
    with open(path, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream)
        writer.writerow(["scene", "status", "seconds", "message"])
        for scene in scenes:
            writer.writerow([scene.name, scene.status, f"{scene.seconds:.1f}", scene.message])


def _arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python3 -m pelvane.batch",
        description="Fill the gaps of every scene listed in a CSV, one Dask task per scene.",
        epilog="Settings given here apply to every scene whose own cell is empty. "
               "See docs/python.md for the CSV's columns and for clusters.")
    parser.add_argument("scenes", metavar="SCENES.csv", help="the scene list (header row)")
    parser.add_argument("--output-dir", required=True, metavar="DIR",
                        help="where outputs and summary.csv go")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="an existing Dask scheduler (tcp://host:8786); "
                             "default: a LocalCluster on this machine")
    parser.add_argument("--workers", type=_positive, metavar="N",
                        help="LocalCluster workers (default: fitted to cores and memory)")
    for name, setting in SETTINGS.items():
        parser.add_argument(f"--{name}", dest=setting.keyword, help=setting.help, **setting.option)
    arguments = parser.parse_args(argv)
    if arguments.scheduler and arguments.workers:
        parser.error("--workers applies to the local cluster, not to --scheduler")
    return arguments


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = _arguments(argv)
    defaults = {s.keyword: getattr(arguments, s.keyword) for s in SETTINGS.values()
                if getattr(arguments, s.keyword) is not None}
    if "valid_range" in defaults:
        defaults["valid_range"] = tuple(defaults["valid_range"])
    output_dir = os.path.abspath(arguments.output_dir)
    try:
        scenes = read_scenes(arguments.scenes, output_dir, defaults)
    except UsageError as error:
        print(f"pelvane.batch: {error}", file=sys.stderr)
        return 2
    os.makedirs(output_dir, exist_ok=True)

    from distributed import Client

    start = time.monotonic()
    progress = ProgressBar(len(scenes))
    if all(scene.error for scene in scenes):
        run_scenes(scenes, None, progress)
    elif arguments.scheduler:
        with Client(arguments.scheduler) as client:
            run_scenes(scenes, client, progress)
    else:
        cluster, threads = _local_cluster(arguments.workers)
        # The cores a worker leaves idle go to its scene's job.
        for scene in scenes:
            scene.settings.setdefault("threads", threads)
        with cluster, Client(cluster) as client:
            run_scenes(scenes, client, progress)

    summary = os.path.join(output_dir, "summary.csv")
    write_summary(summary, scenes)
    counts = {status: sum(scene.status == status for scene in scenes)
              for status in (STATUS_DONE, STATUS_SKIPPED, STATUS_FAILED)}
    print(f"{len(scenes)} scenes: {counts[STATUS_DONE]} done, {counts[STATUS_SKIPPED]} skipped, "
          f"{counts[STATUS_FAILED]} failed in {time.monotonic() - start:.1f} s; "
          f"summary in {summary}")
    return 0 if counts[STATUS_FAILED] == 0 else 1


if __name__ == "__main__":
    # Through the package's own module, so that the tasks reach the workers
    # as pelvane.batch.fill_scene and not as a function of this __main__.
    from pelvane import batch

    sys.exit(batch.main())
