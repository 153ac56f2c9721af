"""pelvane:fillgaps in a headless QGIS that loads the plugin as QGIS does: pelvane-cli's bytes,
no-data layers, the status raster's style, Cancel, Pelvane's messages as QgsProcessingException."""

import os, pathlib, shutil, subprocess, sys, threading

import pytest
from osgeo import gdal

# Skips only where QGIS is not installed (scripts/bootstrap installs it).
core = pytest.importorskip("qgis.core")

# Set by the build's test (tests/qgis.cmake).
OLINDA = pathlib.Path(os.environ["PELVANE_TEST_DATA"]) / "olinda"
CLI, PLUGINS = os.environ["PELVANE_CLI"], os.environ["PELVANE_QGIS_PLUGINS"]


@pytest.fixture(scope="module")
def processing(tmp_path_factory):
    """One QGIS for the module (it starts slowly), in a profile of its own."""
    os.environ["QGIS_CUSTOM_CONFIG_PATH"] = str(tmp_path_factory.mktemp("profile"))
    app = core.QgsApplication([], False)
    app.initQgis()
    sys.path[:0] = [core.QgsApplication.pkgDataPath() + "/python/plugins", PLUGINS]
    import processing, qgis.utils
    from processing.core.Processing import Processing
    Processing.initialize()
    qgis.utils.plugin_paths = [PLUGINS]
    qgis.utils.updateAvailablePlugins()
    assert qgis.utils.loadPlugin("pelvane_qgis") and qgis.utils.startProcessingPlugin("pelvane_qgis")
    yield processing
    app.exitQgis()


@pytest.fixture(scope="module")
def olinda(tmp_path_factory):
    """Copies of olinda (QGIS writes statistics beside its inputs), with no-data 0, and a crop."""
    folder = tmp_path_factory.mktemp("olinda")
    files = {name: shutil.copy(OLINDA / f"{name}.tif", folder)
             for name in ("target", "fill", "target_mask", "fill_mask")}
    for name in ("target", "fill"):
        files[name + "_nodata"] = str(folder / f"{name}_nodata.tif")
        gdal.Translate(files[name + "_nodata"], files[name], noData=0)
    files["fill_small"] = str(folder / "fill_small.tif")
    gdal.Translate(files["fill_small"], files["fill"], srcWin=[0, 0, 100, 100])
    return files


def formatted(values, **names):
    return [v.format(**names) if isinstance(v, str) else formatted(v, **names) if isinstance(v, list) else v for v in values]


@pytest.mark.parametrize("images, parameters, cli_args", [
    pytest.param("_nodata", {}, ["--nodata", "--refine"], id="nodata_layers_refined"),
    pytest.param("", {"GAPS": 1, "VALID_RANGE": "1,255", "REFINE": False,
                      "CREATION_OPTIONS": "COMPRESS=DEFLATE|PREDICTOR=2",
                      "STATUS_OUTPUT": "{status}"},
                 ["--valid-range", "1", "255", "--co", "COMPRESS=DEFLATE", "--co", "PREDICTOR=2",
                  "--status-output", "{status}"], id="range_standard_status"),
    pytest.param("", {"GAPS": 2, "TARGET_MASK": "{target_mask}", "FILL_MASK": "{fill_mask}",
                      "METHOD": 1, "SIMILAR": 12, "ERROR_OUTPUT": "{error}"},
                 ["--target-mask", "{target_mask}", "--fill-mask", "{fill_mask}",
                  "--method", "sarnic", "--similar", "12", "--refine", "--error-output", "{error}"],
                 id="masks_sarnic_error"),
    pytest.param("", {"GAPS": 1, "METHOD": 2, "REGULARIZATION": 500, "MAX_ITERATIONS": 40,
                      "TOLERANCE": 1e-4},
                 ["--valid-range", "1", "255", "--method", "tolvek", "--regularization", "500",
                  "--max-iterations", "40", "--tolerance", "1e-4", "--refine"], id="tolvek"),
])
def test_the_output_is_pelvane_cli_s(processing, olinda, tmp_path, images, parameters, cli_args):
    target, fill = olinda["target" + images], olinda["fill" + images]
    subprocess.run([CLI, "-q", "--target", target, "--fill", fill, "--output", tmp_path / "cli.tif",
                    *formatted(cli_args, status=tmp_path / "cli_status.tif",
                               error=tmp_path / "cli_error.tif", **olinda)],
                   check=True, capture_output=True, timeout=120)
    given = dict(parameters, TARGET=target, FILL=fill, OUTPUT=str(tmp_path / "q.tif"))
    given = dict(zip(given, formatted(given.values(), status=tmp_path / "q_status.tif",
                                      error=tmp_path / "q_error.tif", **olinda)))
    results = processing.runAndLoadResults("pelvane:fillgaps", dict(given))  # it alters its dict
    for name in {"OUTPUT", "STATUS_OUTPUT", "ERROR_OUTPUT"} & set(given):
        assert results[name] == given[name]
        expected = given[name].replace("/q", "/cli")
        assert pathlib.Path(given[name]).read_bytes() == pathlib.Path(expected).read_bytes(), name
    if "STATUS_OUTPUT" in given:  # loaded with a legend of its codes
        layer, = core.QgsProject.instance().mapLayersByName("How each pixel was filled")
        classes = layer.renderer().classes()
        assert classes[1].label == "1 regression over similar pixels" and len(classes) == 10
        assert len({c.color.name() for c in classes}) == 10


@pytest.mark.parametrize("parameters, message", [
    ({"FILL": "{fill_small}"}, "Target image and fill image must have the same size!"),
    ({"GAPS": 2, "TARGET_MASK": "{target_mask}"}, "Gaps marked by mask layers need both mask layers."),
    ({"OUTPUT": "{out}.gpkg"}, "Pelvane writes GeoTIFF files (.tif), not {out}.gpkg."),
    ({"CREATION_OPTIONS": "COMPRESS"}, "creation options take the form NAME=VALUE, not 'COMPRESS'"),
    ({"REFINE": False, "ERROR_OUTPUT": "{out}_error.tif"},
     "The error raster is made by the refined fill: tick Refined fill under Advanced parameters."),
    ({"OTHER_FILLS": ["{fill}"], "REFINE": False}, "fill takes several images only with the refined fill (refine)"),
    ({"GAPS": 2, "TARGET_MASK": "{target_mask}", "FILL_MASK": "{fill_mask}", "OTHER_FILLS": ["{fill}", "{fill}"],
      "OTHER_FILL_MASKS": ["{fill_mask}"]}, "fill_mask must be given once for each fill image (3 fill images, 2 fill masks)"),
    # Cancel after a second: Tolvek alone with no tolerance solves for half a
    # minute without a step of the bar.
    ({"GAPS": 1, "METHOD": 2, "MAX_ITERATIONS": 10000, "TOLERANCE": 0}, "The job was stopped!"),
])
def test_a_job_that_does_not_finish_says_why_and_leaves_no_file(processing, olinda, tmp_path,
                                                                parameters, message):
    out = str(tmp_path / "out")
    given = dict(parameters, TARGET=olinda["target"], FILL=olinda["fill"], OUTPUT=out + ".tif",
                 STATUS_OUTPUT=out + "_status.tif")
    given.update(zip(parameters, formatted(parameters.values(), out=out, **olinda)))
    feedback = core.QgsProcessingFeedback()
    threading.Timer(1.0, feedback.cancel).start()
    with pytest.raises(core.QgsProcessingException) as error:
        processing.run("pelvane:fillgaps", given, feedback=feedback)
    assert str(error.value) == message.format(out=out)
    assert list(tmp_path.iterdir()) == []
