"""The plugin object QGIS keeps while the plugin is loaded: it adds the
Processing provider, in the desktop (initGui) and in qgis_process
(initProcessing), and removes it again."""

from qgis.core import QgsApplication

from .provider import PelvaneProvider


class PelvanePlugin:
    def __init__(self, iface):
        self.iface = iface
        self.provider = None

    def initProcessing(self):  # noqa: N802 (QGIS's names)
        if self.provider is None:
            self.provider = PelvaneProvider()
            QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):  # noqa: N802
        self.initProcessing()

    def unload(self):
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)
            self.provider = None
