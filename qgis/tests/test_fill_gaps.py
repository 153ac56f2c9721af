"""pelvane:fillgaps in a headless QGIS, loaded as QGIS loads the plugin: the
bytes of pelvane-cli, no-data layers, Cancel, Pelvane's messages as
QgsProcessingException, the status raster's style."""

import os
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest
from osgeo import gdal

# Skips only where QGIS is not installed (scripts/bootstrap installs it).
core = pytest.importorskip("qgis.core")

ROOT = pathlib.Path(__file__).resolve().parents[2]
OLINDA = pathlib.Path(os.environ.get("PELVANE_TEST_DATA", ROOT / "tests" / "data")) / "olinda"
CLI = os.environ.get("PELVANE_CLI", str(ROOT / "build" / "bin" / "pelvane-cli"))
PLUGINS = os.environ.get("PELVANE_QGIS_PLUGINS", str(ROOT / "build" / "qgis"))


@pytest.fixture(scope="module")
def processing(tmp_path_factory):
    """One QGIS for the module (it starts slowly), in a profile of its own."""
    os.environ["QGIS_CUSTOM_CONFIG_PATH"] = str(tmp_path_factory.mktemp("profile"))
    app = core.QgsApplication([], False)
    app.initQgis()
    sys.path[:0] = [core.QgsApplication.pkgDataPath() + "/python/plugins", PLUGINS]
    import processing
    import qgis.utils
    from processing.core.Processing import Processing
    Processing.initialize()
    qgis.utils.plugin_paths = [PLUGINS]
    qgis.utils.updateAvailablePlugins()
    assert qgis.utils.loadPlugin("pelvane_qgis") and qgis.utils.startProcessingPlugin("pelvane_qgis")
    yield processing
    app.exitQgis()


@pytest.fixture(scope="module")
def olinda(tmp_path_factory):
    """Copies of olinda's images (QGIS writes statistics beside the files it
    reads), and copies whose no-data value 0 marks the gaps."""
    folder = tmp_path_factory.mktemp("olinda")
    files = {name: str(folder / f"{name}.tif") for name in ("target", "fill", "target_mask",
                                                              "fill_mask")}
    for name, path in files.items():
        shutil.copyfile(OLINDA / f"{name}.tif", path)
    for name in ("target", "fill"):
        files[name + "_nodata"] = str(folder / f"{name}_nodata.tif")
        gdal.Translate(files[name + "_nodata"], files[name], noData=0)
    files["fill_small"] = str(folder / "fill_small.tif")
    gdal.Translate(files["fill_small"], files["fill"], srcWin=[0, 0, 100, 100])
    return files


@pytest.mark.parametrize("images, parameters, cli_args", [
    pytest.param("_nodata", {}, ["--nodata", "--refine"], id="nodata_layers_refined"),
    pytest.param("", {"GAPS": 1, "VALID_RANGE": "1,255", "REFINE": False,
                      "CREATION_OPTIONS": "COMPRESS=DEFLATE|PREDICTOR=2",
                      "STATUS_OUTPUT": "{status}"},
                 ["--valid-range", "1", "255", "--co", "COMPRESS=DEFLATE", "--co", "PREDICTOR=2",
                  "--status-output", "{status}"], id="range_standard_status"),
    pytest.param("", {"GAPS": 2, "TARGET_MASK": "{target_mask}", "FILL_MASK": "{fill_mask}",
                      "METHOD": 1, "SIMILAR": 12},
                 ["--target-mask", "{target_mask}", "--fill-mask", "{fill_mask}",
                  "--method", "sarnic", "--similar", "12", "--refine"], id="masks_sarnic"),
    pytest.param("", {"GAPS": 1, "METHOD": 2, "REGULARIZATION": 500, "MAX_ITERATIONS": 40,
                      "TOLERANCE": 1e-4},
                 ["--valid-range", "1", "255", "--method", "tolvek", "--regularization", "500",
                  "--max-iterations", "40", "--tolerance", "1e-4", "--refine"], id="tolvek"),
])
def test_the_output_is_pelvane_cli_s(processing, olinda, tmp_path, images, parameters, cli_args):
    target, fill = olinda["target" + images], olinda["fill" + images]
    subprocess.run([CLI, "-q", "--target", target, "--fill", fill, "--output", tmp_path / "cli.tif",
                    *(a.format(status=tmp_path / "cli_status.tif", **olinda) for a in cli_args)],
                   check=True, capture_output=True, timeout=120)
    given = {"TARGET": target, "FILL": fill, "OUTPUT": str(tmp_path / "q.tif")}
    given.update({k: v.format(status=tmp_path / "q_status.tif", **olinda) if isinstance(v, str)
                  else v for k, v in parameters.items()})
    results = processing.run("pelvane:fillgaps", given)
    for name in {"OUTPUT", "STATUS_OUTPUT"} & set(given):
        assert results[name] == given[name]
        expected = given[name].replace("/q", "/cli")
        assert pathlib.Path(given[name]).read_bytes() == pathlib.Path(expected).read_bytes(), name


def test_cancel_stops_a_long_solve_and_leaves_no_file(processing, olinda, tmp_path):
    # Tolvek alone with no tolerance: half a minute of solving without a step of the bar.
    feedback = core.QgsProcessingFeedback()
    threading.Timer(1.0, feedback.cancel).start()
    with pytest.raises(core.QgsProcessingException, match="^The job was stopped!$"):
        processing.run("pelvane:fillgaps", {
            "TARGET": olinda["target"], "FILL": olinda["fill"], "GAPS": 1, "METHOD": 2,
            "MAX_ITERATIONS": 10000, "TOLERANCE": 0, "OUTPUT": str(tmp_path / "out.tif"),
            "STATUS_OUTPUT": str(tmp_path / "status.tif")}, feedback=feedback)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("parameters, message", [
    ({"FILL": "{fill_small}"}, "Target image and fill image must have the same size!"),
    ({"GAPS": 2, "TARGET_MASK": "{target_mask}"}, "Gaps marked by mask layers need both mask layers."),
    ({"OUTPUT": "{out}.gpkg"}, "Pelvane writes GeoTIFF files (.tif), not {out}.gpkg."),
    ({"CREATION_OPTIONS": "COMPRESS"}, "creation options take the form NAME=VALUE, not 'COMPRESS'"),
])
def test_a_bad_parameter_raises_pelvane_s_message(processing, olinda, tmp_path, parameters, message):
    out = str(tmp_path / "out")
    given = {"TARGET": olinda["target"], "FILL": olinda["fill"], "OUTPUT": out + ".tif"}
    given.update({k: v.format(out=out, **olinda) if isinstance(v, str) else v
                  for k, v in parameters.items()})
    with pytest.raises(core.QgsProcessingException) as error:
        processing.run("pelvane:fillgaps", given)
    assert str(error.value) == message.format(out=out)
    assert list(tmp_path.iterdir()) == []


def test_the_status_raster_loads_with_a_legend_of_its_codes(processing, olinda, tmp_path):
    status = str(tmp_path / "status.tif")
    processing.runAndLoadResults("pelvane:fillgaps", {
        "TARGET": olinda["target_nodata"], "FILL": olinda["fill_nodata"],
        "OUTPUT": str(tmp_path / "out.tif"), "STATUS_OUTPUT": status})
    layer, = (layer for layer in core.QgsProject.instance().mapLayers().values()
              if layer.source() == status)
    renderer = layer.renderer()
    assert renderer.type() == "paletted"
    labels = [c.label for c in renderer.classes()]
    assert labels[1] == "1 regression over similar pixels" and len(labels) == 8
    assert len({c.color.name() for c in renderer.classes()}) == 8
