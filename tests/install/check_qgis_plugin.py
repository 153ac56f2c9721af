"""Installs the Python package and the QGIS plugin into a temporary prefix and
runs the algorithm with qgis_process from there, then from the plugin's zip
unpacked in a profile as "Install from ZIP" does; both outputs must be
pelvane-cli's bytes.  usage: check_qgis_plugin.py CMAKE BUILD PYTHON_X.Y PELVANE_CLI OLINDA ZIP"""
import os, subprocess, sys, tempfile, zipfile
from osgeo import gdal

cmake, build, python_version, cli, olinda, plugin_zip = sys.argv[1:7]
QGIS_PROCESS = "/usr/bin/qgis_process.bin"  # Debian's /usr/bin/qgis_process passes an option 3.22 refuses
if not os.path.exists(QGIS_PROCESS):
    print("qgis_process is not installed: skipped")
    sys.exit(77)

def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)
    assert done.returncode == 0, f"{command}: {done.returncode}\n{done.stdout}{done.stderr}"

with tempfile.TemporaryDirectory(prefix="pelvane-qgis-") as tmp:
    prefix = os.path.join(tmp, "prefix")
    for component in ("python", "qgis"):
        run([cmake, "--install", build, "--prefix", prefix, "--component", component])
    plugins = os.path.join(prefix, "share", "qgis", "python", "plugins")
    # The no-data values mark the gaps, as the algorithm expects by default.
    images = []
    for name in ("target", "fill"):
        images.append(os.path.join(tmp, name + ".tif"))
        gdal.Translate(images[-1], os.path.join(olinda, name + ".tif"), noData=0)
    expected = os.path.join(tmp, "cli.tif")
    run([cli, "-q", "--target", images[0], "--fill", images[1], "--output", expected, "--nodata",
         "--refine"])

    def fill_in_qgis(profile, **environment):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QGIS_CUSTOM_CONFIG_PATH=profile,
                   PYTHONDONTWRITEBYTECODE="1")
        env.pop("PYTHONPATH", None)
        env.update(environment)
        run([QGIS_PROCESS, "plugins", "enable", "pelvane_qgis"], env=env)
        output = os.path.join(profile, "filled.tif")
        run([QGIS_PROCESS, "run", "pelvane:fillgaps", "--", f"TARGET={images[0]}",
             f"FILL={images[1]}", f"OUTPUT={output}"], env=env)
        with open(output, "rb") as got, open(expected, "rb") as want:
            assert got.read() == want.read(), f"{output} differs from pelvane-cli's output"

    fill_in_qgis(os.path.join(tmp, "profile"), QGIS_PLUGINPATH=plugins,
                 PYTHONPATH=os.path.join(prefix, "lib", f"python{python_version}", "dist-packages"))
    # The zip alone, with the pelvane module it carries.
    profile = os.path.join(tmp, "zip-profile")
    with zipfile.ZipFile(plugin_zip) as archive:
        archive.extractall(os.path.join(profile, "profiles", "default", "python", "plugins"))
    fill_in_qgis(profile)
print("QGIS plugin: installed and zipped, both fill as pelvane-cli does")
