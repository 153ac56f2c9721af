"""The style of a status raster in QGIS: one colour per code, named in the
legend with the code and the name the job stored with it in the file."""

from osgeo import gdal
from qgis.core import (QgsPalettedRasterRenderer, QgsProcessingLayerPostProcessorInterface,
                       QgsRasterLayer)
from qgis.PyQt.QtGui import QColor

# By code: the copied pixels recede in grey; the regressions are greens, the
# paler the less local; the ratio yellow, the fallback orange, Tolvek blue,
# the refined spatial prediction purple, the refined interpolation from the
# gap's edges pale blue, a pixel a later fill image filled dark teal; an
# unfilled pixel is red, to be seen.
PALETTE = ["#d9d9d9", "#1a9641", "#a6d96a", "#ffff8c", "#d7191c", "#fdae61", "#2c7bb6", "#7b3294",
           "#abd9e9", "#01665e"]
# A code the palette does not know yet.
OTHER = "#000000"


def status_renderer(layer):
    """A paletted renderer of the status raster behind `layer`, from the
    code names in its band's metadata (CODE_0, CODE_1, ...)."""
    dataset = gdal.Open(layer.source())
    metadata = dataset.GetRasterBand(1).GetMetadata() if dataset else {}
    names = {int(key[5:]): name for key, name in metadata.items()
             if key.startswith("CODE_") and key[5:].isdigit()}
    classes = [QgsPalettedRasterRenderer.Class(
                   code, QColor(PALETTE[code] if code < len(PALETTE) else OTHER),
                   f"{code} {names[code]}")
               for code in sorted(names)]
    return QgsPalettedRasterRenderer(layer.dataProvider(), 1, classes)


class StatusStyle(QgsProcessingLayerPostProcessorInterface):
    """Styles the status raster once QGIS has loaded it after the algorithm."""

    # QGIS keeps no reference to a post-processor made in Python.
    instance = None

    def postProcessLayer(self, layer, context, feedback):  # noqa: N802 (QGIS's name)
        if isinstance(layer, QgsRasterLayer):
            layer.setRenderer(status_renderer(layer))
            layer.triggerRepaint()

    @staticmethod
    def create():
        StatusStyle.instance = StatusStyle()
        return StatusStyle.instance
