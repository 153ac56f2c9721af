"""Fill a whole archive of scenes on a Dask cluster: one task per scene.

    python3 -m pelvane.batch SCENES.csv --output-dir DIR [--scheduler ADDRESS]

SCENES.csv has a header row. Columns ``target`` and ``fill`` are required;
``output``, ``target_mask``, ``fill_mask``, ``status_output`` and
``error_output`` (the refined fill's error raster) are optional. With the
refined fill, ``fill`` may list several dates separated by ``;`` in the order
of preference, and ``fill_mask`` then as many masks in the same order. Input paths
are relative to the CSV's folder, ``output``, ``status_output`` and
``error_output`` to DIR (the output by default the target's file name).
Further columns carry settings named like pelvane-cli's options
(``method``, ``similar``, ``regularization``, ``max-iterations``,
``tolerance``, ``valid-range``, ``nodata``, ``co``, ``of``, ``threads``,
``refine``); an empty cell takes the value given on the command line, or the
job's default.

Each scene is one task that calls pelvane.fill_files. Without --scheduler the
tasks run on a LocalCluster of this machine, its workers fitted to the cores
and memory; with --scheduler on the Dask cluster at that address, whose
workers must see the same paths. A failing scene records its message and the
others go on. The end writes DIR/summary.csv (scene, line, status, seconds,
output, message, detail, and the stamp of each output written) and one line
of totals; a rerun skips the scenes whose output summary.csv lists as
written and that are still as written. Ctrl-C or SIGTERM stops the running
jobs, which remove their temporary files, and still writes the summary.
Exit status 0 when every scene is done or skipped, 1 when any failed, 2 for
a usage error, 130 or 143 when SIGINT or SIGTERM stopped the batch.
"""

from __future__ import annotations

import argparse
import csv
import glob
import logging
import os
import signal
import sys
import time
import uuid
import warnings
from dataclasses import dataclass, field
from enum import StrEnum
from collections.abc import Callable, Sequence

# Memory one scene's job needs at most, whatever the scene's size: the job
# works in strips of a bounded size (measured figures in docs/python.md).
SCENE_MEMORY = 1_500_000_000


class Status(StrEnum):
    """How a scene ended, as the summary's status column writes it."""
    DONE = "done"
    SKIPPED = "skipped"
    FAILED = "failed"
    STOPPED = "stopped"


SUMMARY_COLUMNS = ("scene", "line", "status", "seconds", "output", "message", "detail", "output_stamp")

# How often a running job asks whether the batch was stopped, at most.
STOP_POLL_SECONDS = 0.5
# How long a stopped batch waits for its running jobs to stop and clean up.
STOP_WAIT_SECONDS = 60
# Where the documents are, installed and in the source.
DOCS = "/usr/share/doc/python3-pelvane/python.md (docs/python.md in the source)"


def _valid_range(text: str) -> tuple[float, float]:
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


def _nodata(text: str):
    """yes/no, or the images' no-data value."""
    try:
        return _yes_no(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"expected yes, no or a number, got {text!r}") from None


def _format(text: str) -> str:
    if text.lower() not in ("gtiff", "cog"):
        raise ValueError(f"expected GTiff or COG, got {text!r}")
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
    option: dict[str, object]


def _typed(parse: Callable[[str], object], metavar: str) -> dict[str, object]:
    return {"type": parse, "metavar": metavar}


SETTINGS: dict[str, Setting] = {
    "method": Setting("method", _method, "sarnic, tolvek or both", _typed(_method, "METHOD")),
    "similar": Setting("similar", int, "similar pixels per regression", _typed(int, "N")),
    "regularization": Setting("regularization", float, "weight of the valid pixels in Tolvek",
                              _typed(float, "R")),
    "max-iterations": Setting("max_iterations", int, "Tolvek iteration limit", _typed(int, "N")),
    "tolerance": Setting("tolerance", float, "Tolvek convergence tolerance", _typed(float, "T")),
    "valid-range": Setting("valid_range", _valid_range, "valid value range (cell: 'MIN MAX')",
                           {"type": float, "nargs": 2, "metavar": ("MIN", "MAX")}),
    "nodata": Setting("nodata", _nodata,
                      "gaps from GDAL's no-data values and masks (cell: yes/no, or the value)",
                      {"action": "store_const", "const": True}),
    "co": Setting("creation_options", str.split,
                  "GeoTIFF creation option, repeatable (cell: 'NAME=VALUE ...')",
                  {"action": "append", "metavar": "NAME=VALUE"}),
    "of": Setting("output_format", _format, "output format, GTiff or COG", _typed(_format, "FORMAT")),
    "threads": Setting("threads", _positive, "worker threads of each scene's job",
                       _typed(_positive, "N")),
    "refine": Setting("refine", _yes_no, "the refined fill (cell: yes/no)",
                      {"action": "store_const", "const": True}),
}
PATHS = ("target", "fill", "output", "target-mask", "fill-mask", "status-output", "error-output")


class UsageError(Exception):
    """The scene list cannot be used at all."""


@dataclass
class Scene:
    line: int          # in the CSV, the header being line 1
    name: str          # the target as the CSV writes it
    target: str = ""
    fill: str | list[str] | None = None  # several fill images: a list
    output: str = ""
    settings: dict[str, object] = field(default_factory=dict)  # fill_files keywords
    error: str = ""    # why the row cannot run
    status: Status | None = None  # None until the scene ends
    seconds: float = 0.0
    message: str = ""
    detail: str = ""   # the lines after the message: the file, GDAL's words
    stamp: str = ""    # the output as written: its size and modification time


def _path_list(cell: str) -> list[str]:
    """The paths of a cell that may list several, separated by ';'."""
    return [path.strip() for path in cell.split(";") if path.strip()]


def _column(name: str) -> str:
    return name.strip().lower().replace("_", "-")


def read_scenes(csv_path: str, output_dir: str, defaults: dict[str, object]) -> list[Scene]:
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

    scenes: list[Scene] = []
    outputs: dict[str, int] = {}
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
        fills = _path_list(cells.get("fill", ""))
        if fills:
            fills = [inside(base, path) for path in fills]
            scene.fill = fills[0] if len(fills) == 1 else fills
        scene.output = inside(output_dir, cells.get("output") or os.path.basename(scene.target))
        if cells.get("target-mask"):
            scene.settings["target_mask"] = inside(base, cells["target-mask"])
        fill_masks = [inside(base, path) for path in _path_list(cells.get("fill-mask", ""))]
        if fill_masks:
            scene.settings["fill_mask"] = fill_masks[0] if len(fill_masks) == 1 else fill_masks
        # One mask per fill image once there are several of either (a fill
        # mask without a fill image stays the job's to judge, as before).
        if max(len(fills), len(fill_masks)) > 1 and fill_masks and len(fill_masks) != len(fills):
            scene.error = (f"line {number}: fill_mask: {len(fill_masks)} mask(s) for "
                           f"{len(fills)} fill image(s); give one mask per fill image, in the same order")
            continue
        for written in ("status-output", "error-output"):
            if cells.get(written):
                scene.settings[written.replace("-", "_")] = inside(output_dir, cells[written])
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


def _stamp(path: str) -> str:
    """What tells one writing of a file from another: its size and the time it
    was last changed, to the nanosecond."""
    try:
        status = os.stat(path)
    except OSError:
        return ""
    return f"{status.st_size}:{status.st_mtime_ns}"


def read_finished(summary_path: str) -> dict[str, str]:
    """The outputs an earlier run wrote, with their stamps, from its summary:
    a file at an output path is that run's finished output only while it
    still has the stamp (not merely because a file is there)."""
    try:
        with open(summary_path, newline="", encoding="utf-8") as stream:
            rows = list(csv.DictReader(stream))
    except (OSError, UnicodeDecodeError, csv.Error):
        return {}
    return {row["output"]: row["output_stamp"] for row in rows
            if row.get("status") in (Status.DONE, Status.SKIPPED) and row.get("output")
            and row.get("output_stamp")}


_process_tuned = False


class _StopWatch:
    """Whether the batch was stopped: a Dask Event of the batch, asked at
    most every STOP_POLL_SECONDS."""

    def __init__(self, name: str | None) -> None:
        self.event = None
        if name:
            from distributed import Event
            self.event = Event(name)
        self.asked = float("-inf")
        self.stopped = False

    def __call__(self) -> bool:
        now = time.monotonic()
        if self.event is not None and not self.stopped and now - self.asked >= STOP_POLL_SECONDS:
            self.asked = now
            self.stopped = self.event.is_set()
        return self.stopped


def fill_scene(target: str, fill: str | list[str] | None, output: str, settings: dict[str, object],
               stop_event: str | None = None) -> tuple[Status, float, str, str, str]:
    """The task of one scene, run on a worker: (status, seconds, message,
    detail, stamp of the output written). The job's warnings come back in the
    message instead of on the worker's standard error."""
    global _process_tuned
    import pelvane
    from pelvane import _pelvane

    start = time.monotonic()
    stopped = _StopWatch(stop_event)
    if stopped():
        return Status.STOPPED, 0.0, "not started", "", ""
    if not _process_tuned:
        _pelvane.tune_process_for_strips()
        _process_tuned = True
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", pelvane.JobWarning)
        try:
            os.makedirs(os.path.dirname(output), exist_ok=True)
            pelvane.fill_files(target, fill, output, progress=lambda _: not stopped(), **settings)
        except pelvane.Cancelled as error:
            return Status.STOPPED, time.monotonic() - start, str(error), "", ""
        except pelvane.Error as error:
            return Status.FAILED, time.monotonic() - start, str(error), error.detail, ""
        except Exception as error:  # a scene must not take the others down
            return Status.FAILED, time.monotonic() - start, f"{type(error).__name__}: {error}", "", ""
    job_warnings = [str(w.message) for w in caught if issubclass(w.category, pelvane.JobWarning)]
    return Status.DONE, time.monotonic() - start, "; ".join(job_warnings), "", _stamp(output)


class ProgressBar:
    """Scenes finished out of all, on standard error: a bar redrawn in place on
    a terminal, one line per scene elsewhere (logs of a batch system)."""

    WIDTH = 30

    def __init__(self, total: int, stream=None) -> None:
        self.total = total
        self.finished = 0
        self.failed = 0
        # Standard error as it is when the bar is made, not when this module was imported.
        self.stream = sys.stderr if stream is None else stream
        self.terminal = self.stream.isatty()
        self.start = time.monotonic()
        self.open = False  # a bar is on the terminal's last line

    def _elapsed(self) -> str:
        return time.strftime("%H:%M:%S", time.gmtime(time.monotonic() - self.start))

    def _draw(self) -> None:
        filled = self.WIDTH * self.finished // max(self.total, 1)
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] "
                          f"{self.finished}/{self.total} scenes, {self.failed} failed, "
                          f"{self._elapsed()}")
        self.open = self.finished < self.total
        if not self.open:
            self.stream.write("\n")
        self.stream.flush()

    def begin(self) -> None:
        """The bar at 0 of all from the start, while the cluster starts."""
        if self.terminal and self.total:
            self._draw()

    def say(self, text: str) -> None:
        """A line of its own above the bar."""
        if self.terminal and self.open:
            self.stream.write("\r\033[K")
        self.stream.write(text + "\n")
        if self.terminal and self.open:
            self._draw()
        self.stream.flush()

    def end(self) -> None:
        """Ends the bar's line, however far it got."""
        if self.terminal and self.open:
            self.stream.write("\n")
            self.stream.flush()
            self.open = False

    def scene_finished(self, scene: Scene) -> None:
        self.finished += 1
        self.failed += scene.status == Status.FAILED
        detail = "".join(f"\n  {line}" for line in scene.detail.splitlines())
        if self.terminal:
            if scene.status == Status.FAILED or (scene.status == Status.DONE and scene.message):
                self.stream.write(f"\r\033[K{scene.name}: {scene.message}{detail}\n")
            self._draw()
        else:
            text = f": {scene.message}" if scene.message else ""
            self.stream.write(f"[{self.finished}/{self.total}] {scene.status} {scene.name} "
                              f"({scene.seconds:.1f} s){text}{detail}\n")
        self.stream.flush()


def _local_cluster(workers: int | None):
    """A LocalCluster of one-thread worker processes: as many as there are
    cores, fewer when memory holds fewer scenes at once. The workers ignore
    SIGINT and SIGTERM: a Ctrl-C on the terminal reaches every process of
    the group, and the batch stops their jobs itself, cleanly."""
    import psutil
    from distributed import LocalCluster

    cores = os.cpu_count() or 1
    if workers is None:
        memory = psutil.virtual_memory().total
        workers = max(1, min(cores, int(memory * 0.8) // SCENE_MEMORY))
    # A signal ignored when a process starts stays ignored in it (also in
    # Python), so the workers are started with both ignored.
    handlers = {number: signal.signal(number, signal.SIG_IGN) for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
    return cluster, max(1, cores // workers)


class Stopped(Exception):
    """SIGINT or SIGTERM asked the batch to stop."""


class SignalStop:
    """Turns SIGINT and SIGTERM into Stopped, raised where the batch waits;
    keeps the first signal's number for the exit status."""

    def __init__(self) -> None:
        self.number = 0
        self.previous = {number: signal.signal(number, self._received)
                         for number in (signal.SIGINT, signal.SIGTERM)}

    def _received(self, number, frame) -> None:
        self.number = self.number or number
        raise Stopped()

    def restore(self) -> None:
        for number, handler in self.previous.items():
            signal.signal(number, handler)


def _record(scene: Scene, future) -> None:
    try:
        scene.status, scene.seconds, scene.message, scene.detail, scene.stamp = future.result()
    except Exception as error:  # the worker died (KilledWorker) or the task was lost
        scene.status, scene.message = Status.FAILED, f"{type(error).__name__}: {error}"


def run_scenes(scenes: Sequence[Scene], client, progress: ProgressBar,
               stop_event: str | None = None) -> None:
    """Submits every runnable scene and records how each ends. On Stopped,
    asks the running jobs to stop through `stop_event` and waits for them a
    while; a scene still running after that keeps no status."""
    from distributed import Event, as_completed, wait

    for scene in scenes:
        if scene.error:
            scene.status, scene.message = Status.FAILED, scene.error
            progress.scene_finished(scene)
    runnable = [scene for scene in scenes if not scene.error and not scene.status]
    if not runnable:
        return
    futures = {}
    try:
        for s in runnable:
            futures[client.submit(fill_scene, s.target, s.fill, s.output, s.settings, stop_event,
                                  pure=False)] = s
        for future in as_completed(futures):
            _record(futures[future], future)
            progress.scene_finished(futures[future])
    except Stopped:
        progress.say("Stopping: the running jobs remove their temporary files...")
        # Dask's own complaints about workers going away are no news now.
        logging.getLogger("distributed").setLevel(logging.ERROR)
        try:
            if stop_event:
                Event(stop_event, client=client).set()
            wait(list(futures), timeout=STOP_WAIT_SECONDS)
        except Stopped:
            pass  # asked again: stop waiting
        except Exception:
            pass  # the timeout: those scenes keep no status
        for future, scene in futures.items():
            if not scene.status and future.done():
                _record(scene, future)
        raise


def write_summary(path: str, scenes: Sequence[Scene]) -> None:
    with open(path, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream)
        writer.writerow(SUMMARY_COLUMNS)
        for scene in scenes:
            writer.writerow([scene.name, scene.line, scene.status, f"{scene.seconds:.1f}",
                             scene.output, scene.message, "; ".join(scene.detail.splitlines()),
                             scene.stamp])


def _remove_temporaries(scene: Scene) -> None:
    """What a job killed before it could clean up left beside the scene's
    output (and status and error rasters): files named after it with
    .pelvane-tmp-."""
    for path in (scene.output, scene.settings.get("status_output"),
                 scene.settings.get("error_output")):
        if path:
            stem = os.path.splitext(str(path))[0]
            for leftover in glob.glob(glob.escape(stem) + ".pelvane-tmp-*"):
                try:
                    os.remove(leftover)
                except OSError:
                    pass


def _columns_help() -> str:
    return ("Scene list columns: target, fill (required; with refine, several dates "
            "separated by ';', and as many fill masks), output, target_mask, fill_mask, "
            "status_output, error_output (with refine), and the settings " + ", ".join(SETTINGS) + " (an empty cell takes "
            "the value given here or the default). Settings given here apply to every scene "
            f"whose own cell is empty. Documents: {DOCS}.")


def _arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python3 -m pelvane.batch",
        description="Fill the gaps of every scene listed in a CSV, one Dask task per scene.",
        epilog=_columns_help())
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


def main(argv: Sequence[str] | None = None) -> int:
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
    summary = os.path.join(output_dir, "summary.csv")

    start = time.monotonic()
    progress = ProgressBar(len(scenes))
    progress.begin()
    # Skipped: only what an earlier run wrote and nobody changed since.
    finished = read_finished(summary)
    for scene in scenes:
        if not scene.error and scene.output in finished and _stamp(scene.output) == finished[scene.output]:
            scene.status, scene.stamp = Status.SKIPPED, finished[scene.output]
            progress.scene_finished(scene)

    stop = SignalStop()
    local = None
    try:
        from distributed import Client

        stop_event = f"pelvane-batch-stop-{uuid.uuid4().hex}"
        if all(scene.error or scene.status for scene in scenes):
            run_scenes(scenes, None, progress)
        elif arguments.scheduler:
            # A cluster's worker is one core (docs/python.md): its scene's job
            # takes one thread unless the batch is told otherwise.
            for scene in scenes:
                scene.settings.setdefault("threads", 1)
            with Client(arguments.scheduler) as client:
                run_scenes(scenes, client, progress, stop_event)
        else:
            local, threads = _local_cluster(arguments.workers)
            # The cores a worker leaves idle go to its scene's job.
            for scene in scenes:
                scene.settings.setdefault("threads", threads)
            with local, Client(local) as client:
                run_scenes(scenes, client, progress, stop_event)
    except Stopped:
        pass
    finally:
        stop.restore()
    progress.end()
    for scene in scenes:
        if not scene.status:
            scene.status, scene.message = Status.STOPPED, "not finished"
            # Our own workers are gone: what a killed job left can go.
            if local is not None:
                _remove_temporaries(scene)

    write_summary(summary, scenes)
    counts = {status: sum(scene.status == status for scene in scenes)
              for status in Status}
    stopped = f", {counts[Status.STOPPED]} stopped" if counts[Status.STOPPED] else ""
    print(f"{len(scenes)} scenes: {counts[Status.DONE]} done, {counts[Status.SKIPPED]} skipped, "
          f"{counts[Status.FAILED]} failed{stopped} in {time.monotonic() - start:.1f} s; "
          f"summary in {summary}")
    if stop.number:
        return 128 + stop.number
    return 0 if counts[Status.FAILED] == 0 else 1


if __name__ == "__main__":
    # Through the package's own module, so that the tasks reach the workers
    # as pelvane.batch.fill_scene and not as a function of this __main__.
    from pelvane import batch

    sys.exit(batch.main())
