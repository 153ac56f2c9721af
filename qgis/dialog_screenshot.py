"""Saves a picture of the algorithm's dialog, with the advanced parameters
open (docs/qgis-dialog.png). Run by hand from the top of the repository,
inside the QGIS desktop under Xvfb, with the plugin enabled in a profile of
its own:

  mkdir -p /tmp/profile/profiles/default/QGIS
  printf '[PythonPlugins]\npelvane_qgis=true\n' > /tmp/profile/profiles/default/QGIS/QGIS3.ini
  PELVANE_SCREENSHOT=docs/qgis-dialog.png QGIS_CUSTOM_CONFIG_PATH=/tmp/profile \
  QGIS_PLUGINPATH=build/qgis PYTHONPATH=build/python \
  xvfb-run -a -s "-screen 0 1600x1600x24" qgis --nologo --code qgis/dialog_screenshot.py
"""

import os
import shutil
import tempfile

import processing
from qgis.core import QgsApplication, QgsProject, QgsRasterLayer
from qgis.gui import QgsCollapsibleGroupBoxBasic
from qgis.PyQt import sip
from qgis.PyQt.QtCore import QTimer
from qgis.PyQt.QtWidgets import QGroupBox

OLINDA = os.path.join(os.getcwd(), "tests", "data", "olinda")
picture = os.environ["PELVANE_SCREENSHOT"]
# Copies: QGIS writes statistics beside the files it shows.
folder = tempfile.mkdtemp(prefix="pelvane-screenshot-")
for name in ("target", "fill"):
    shutil.copyfile(os.path.join(OLINDA, name + ".tif"), os.path.join(folder, name + ".tif"))
layers = [QgsRasterLayer(os.path.join(folder, name + ".tif"), name) for name in ("target", "fill")]
QgsProject.instance().addMapLayers(layers)
dialog = processing.createAlgorithmDialog("pelvane:fillgaps", {
    "TARGET": layers[0].id(), "FILL": layers[1].id(), "GAPS": 1})
dialog.show()


def expand():
    # Advanced Parameters, a group Python sees only as a QGroupBox.
    for group in dialog.findChildren(QGroupBox):
        if group.metaObject().className() == "QgsCollapsibleGroupBox":
            sip.cast(group, QgsCollapsibleGroupBoxBasic).setCollapsed(False)
    dialog.resize(1100, 1360)


def save_and_quit():
    dialog.grab().save(picture)
    QgsProject.instance().removeAllMapLayers()
    shutil.rmtree(folder)
    QgsApplication.exit(0)


# After QGIS has laid the dialog out; the picture a moment later.
QTimer.singleShot(1000, expand)
QTimer.singleShot(3000, save_and_quit)
