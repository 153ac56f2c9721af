"""Installs the Python package and the QGIS plugin into a temporary prefix and
fills olinda with qgis_process from there, then from the plugin's zip unpacked
in a profile as "Install from ZIP" does; both must write pelvane-cli's bytes.
usage: check_qgis_plugin.py CMAKE BUILD PYTHON_X.Y PELVANE_CLI OLINDA ZIP"""
import os, subprocess, sys, tempfile, zipfile
from osgeo import gdal

cmake, build, python_version, cli, olinda, plugin_zip = sys.argv[1:7]
QGIS_PROCESS = "/usr/bin/qgis_process.bin"  # Debian's /usr/bin/qgis_process passes an option 3.22 refuses
if not os.path.exists(QGIS_PROCESS):
    sys.exit(77)  # QGIS is not installed: skipped

def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)
    assert done.returncode == 0, f"{command}: {done.returncode}\n{done.stdout}{done.stderr}"

with tempfile.TemporaryDirectory(prefix="pelvane-qgis-") as tmp:
    prefix = os.path.join(tmp, "prefix")
    for component in ("python", "qgis"):
        run([cmake, "--install", build, "--prefix", prefix, "--component", component])
    # No-data values mark the gaps, as the algorithm takes them by default.
    target, fill, expected = (os.path.join(tmp, name) for name in ("target.tif", "fill.tif", "cli.tif"))
    for name, path in (("target", target), ("fill", fill)):
        gdal.Translate(path, os.path.join(olinda, name + ".tif"), noData=0)
    run([cli, "-q", "--target", target, "--fill", fill, "--output", expected, "--nodata", "--refine"])

    def fill_in_qgis(profile, **environment):
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        env.update(QT_QPA_PLATFORM="offscreen", QGIS_CUSTOM_CONFIG_PATH=profile, **environment)
        run([QGIS_PROCESS, "plugins", "enable", "pelvane_qgis"], env=env)
        output = os.path.join(profile, "filled.tif")
        run([QGIS_PROCESS, "run", "pelvane:fillgaps", "--", f"TARGET={target}", f"FILL={fill}",
             f"OUTPUT={output}"], env=env)
        with open(output, "rb") as got, open(expected, "rb") as want:
            assert got.read() == want.read(), f"{output} differs from pelvane-cli's output"

    fill_in_qgis(os.path.join(tmp, "profile"),
                 QGIS_PLUGINPATH=os.path.join(prefix, "share", "qgis", "python", "plugins"),
                 PYTHONPATH=os.path.join(prefix, "lib", f"python{python_version}", "dist-packages"))
    # The zip alone, with the pelvane module it carries.
    profile = os.path.join(tmp, "zip-profile")
    with zipfile.ZipFile(plugin_zip) as archive:
        archive.extractall(os.path.join(profile, "profiles", "default", "python", "plugins"))
    fill_in_qgis(profile)
