"""The Processing provider "Pelvane" (id pelvane) and its one algorithm."""

import os

import pelvane
from qgis.core import QgsProcessingProvider
from qgis.PyQt.QtGui import QIcon

from .fill_gaps import FillGapsAlgorithm

ICON = os.path.join(os.path.dirname(__file__), "icon.png")


class PelvaneProvider(QgsProcessingProvider):
    def id(self):
        return "pelvane"

    def name(self):
        return "Pelvane"

    def longName(self):  # noqa: N802 (QGIS's names)
        return f"Pelvane {pelvane.__version__}"

    def icon(self):
        return QIcon(ICON)

    def loadAlgorithms(self):  # noqa: N802
        self.addAlgorithm(FillGapsAlgorithm())

    # The job writes GeoTIFF, so the output dialogs offer it alone, and a
    # temporary output is a .tif.
    def supportedOutputRasterLayerExtensions(self):  # noqa: N802
        return ["tif", "tiff"]
