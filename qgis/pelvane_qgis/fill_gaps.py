"""pelvane:fillgaps, "Fill gaps from another date": the job of pelvane-cli
run through pelvane.fill_files, with QGIS's layers, outputs, progress bar,
log and Cancel button."""

import os
import re
import warnings

import pelvane
from pelvane._pelvane import JobSettings, RunOptions
from qgis.core import (QgsProcessing, QgsProcessingAlgorithm, QgsProcessingException,
                       QgsProcessingParameterBoolean, QgsProcessingParameterDefinition,
                       QgsProcessingParameterEnum, QgsProcessingParameterMultipleLayers,
                       QgsProcessingParameterNumber,
                       QgsProcessingParameterRange, QgsProcessingParameterRasterDestination,
                       QgsProcessingParameterRasterLayer, QgsProcessingParameterString)
from qgis.PyQt.QtCore import QCoreApplication, QUrl
from qgis.PyQt.QtGui import QIcon

from .status_style import StatusStyle

HERE = os.path.dirname(__file__)

# The job's own defaults, as every front end reads them.
SETTINGS = JobSettings()
OPTIONS = RunOptions()

# The GAPS choices, in their order in the list.
GAPS_NODATA, GAPS_RANGE, GAPS_MASKS = range(3)
# The METHOD choices, as pelvane.fill_files names them.
METHODS = ("both", "sarnic", "tolvek")


def tr(text):
    return QCoreApplication.translate("FillGapsAlgorithm", text)


class FillGapsAlgorithm(QgsProcessingAlgorithm):
    TARGET = "TARGET"
    FILL = "FILL"
    # More dates after FILL, in the order of preference (the refined fill),
    # and their masks in the same order when mask layers mark the gaps.
    OTHER_FILLS = "OTHER_FILLS"
    OTHER_FILL_MASKS = "OTHER_FILL_MASKS"
    GAPS = "GAPS"
    VALID_RANGE = "VALID_RANGE"
    TARGET_MASK = "TARGET_MASK"
    FILL_MASK = "FILL_MASK"
    METHOD = "METHOD"
    REFINE = "REFINE"
    SIMILAR = "SIMILAR"
    REGULARIZATION = "REGULARIZATION"
    MAX_ITERATIONS = "MAX_ITERATIONS"
    TOLERANCE = "TOLERANCE"
    CREATION_OPTIONS = "CREATION_OPTIONS"
    OUTPUT = "OUTPUT"
    # Optional outputs, none made unless asked for.
    STATUS_OUTPUT = "STATUS_OUTPUT"
    ERROR_OUTPUT = "ERROR_OUTPUT"

    def name(self):
        return "fillgaps"

    def displayName(self):  # noqa: N802 (QGIS's names)
        return tr("Fill gaps from another date")

    def tags(self):
        return tr("gaps,fill,nodata,no-data,stripes,scan line,clouds,landsat,cbers,regression,"
                  "total variation,time series,pelvane").split(",")

    def icon(self):
        return QIcon(os.path.join(HERE, "icon.png"))

    def helpUrl(self):  # noqa: N802
        return QUrl.fromLocalFile(os.path.join(HERE, "help", "qgis.md")).toString()

    def shortHelpString(self):  # noqa: N802
        return tr(
            "This algorithm fills the gaps of a multi-band raster (the no-data stripes of a "
            "failed scanner, cloud holes, any pixel marked missing) from an image of the same "
            "scene taken at another date.\n\n"
            "Where the other date is valid, a gap pixel is predicted by a local regression "
            "between the two dates over nearby, spectrally similar pixels (Sarnic). Pixels "
            "missing in both images are filled band by band by a total-variation restoration "
            "(Tolvek). The refined fill, on by default, corrects each prediction by its errors "
            "at the valid pixels around it and interpolates the pixels missing in both images "
            "from the edges of their gap; untick it under Advanced parameters for the "
            "standard fill, the same bytes as pelvane-cli without --refine.\n\n"
            "A time series fills better than a pair: give the other dates under Advanced "
            "parameters, after the first in the order of preference (the closest in time "
            "first, say), and with mask layers their masks in the same order. Each gap pixel "
            "is then filled from the dates that predict it best. Several dates need the "
            "refined fill.\n\n"
            "Both images must have the same size and band count. Gaps are found from the "
            "layers' no-data (GDAL's masks of the files: a no-data value, an alpha band or a "
            "mask), from a valid range (a pixel with any band outside it is a gap), or from "
            "two mask layers (non-zero is a gap).\n\n"
            "The filled image is a GeoTIFF with the target's size, bands, sample type and "
            "georeferencing. The optional status raster tells for every pixel how it was "
            "filled; the optional error raster, made by the refined fill, holds the estimated "
            "standard error of every filled value (0 at valid pixels, no-data where nothing "
            "was estimated), one band per band of the image.\n\n"
            "The Help button opens Pelvane's guide to this algorithm.")

    def createInstance(self):  # noqa: N802
        return FillGapsAlgorithm()

    def initAlgorithm(self, config=None):  # noqa: N802
        self.addParameter(QgsProcessingParameterRasterLayer(self.TARGET, tr("Image with gaps")))
        self.addParameter(QgsProcessingParameterRasterLayer(
            self.FILL, tr("Image of the same scene at another date")))
        self.addParameter(QgsProcessingParameterEnum(
            self.GAPS, tr("Gaps are"),
            [tr("the layers' no-data"), tr("outside the valid range"), tr("marked by mask layers")],
            defaultValue=GAPS_NODATA))
        self.addParameter(QgsProcessingParameterRange(
            self.VALID_RANGE, tr("Valid range (with any band outside it, a pixel is a gap)"),
            QgsProcessingParameterNumber.Double,
            f"{SETTINGS.valid_min:g},{SETTINGS.valid_max:g}", optional=True))
        self.addParameter(QgsProcessingParameterRasterLayer(
            self.TARGET_MASK, tr("Mask of the image with gaps (non-zero: gap)"), optional=True))
        self.addParameter(QgsProcessingParameterRasterLayer(
            self.FILL_MASK, tr("Mask of the other date (non-zero: gap)"), optional=True))

        advanced = [
            QgsProcessingParameterMultipleLayers(
                self.OTHER_FILLS, tr("Other dates to fill from, in the order of preference "
                                     "(refined fill)"),
                QgsProcessing.TypeRaster, optional=True),
            QgsProcessingParameterMultipleLayers(
                self.OTHER_FILL_MASKS, tr("Masks of the other dates, in the same order "
                                          "(with mask layers)"),
                QgsProcessing.TypeRaster, optional=True),
            QgsProcessingParameterEnum(
                self.METHOD, tr("Methods"),
                [tr("Sarnic, then Tolvek where both images miss"), tr("Sarnic only"),
                 tr("Tolvek only")], defaultValue=0),
            # QGIS users expect the best result by default.
            QgsProcessingParameterBoolean(self.REFINE, tr("Refined fill"), defaultValue=True),
            QgsProcessingParameterNumber(
                self.SIMILAR, tr("Similar pixels per regression"),
                QgsProcessingParameterNumber.Integer, SETTINGS.similar_pixel_count, minValue=1),
            QgsProcessingParameterNumber(
                self.REGULARIZATION, tr("Tolvek: weight of the valid pixels"),
                QgsProcessingParameterNumber.Double, SETTINGS.regularization, minValue=0),
            QgsProcessingParameterNumber(
                self.MAX_ITERATIONS, tr("Tolvek: maximum iterations per band and strip"),
                QgsProcessingParameterNumber.Integer, SETTINGS.max_iterations, minValue=1),
            QgsProcessingParameterNumber(
                self.TOLERANCE, tr("Tolvek: convergence tolerance"),
                QgsProcessingParameterNumber.Double, OPTIONS.solver_tolerance, minValue=0),
            QgsProcessingParameterString(
                self.CREATION_OPTIONS, tr("GeoTIFF creation options (NAME=VALUE, separated by "
                                          "| or spaces)"), "", optional=True),
        ]
        # QGIS's own editor of creation options, where the desktop has it.
        advanced[-1].setMetadata({"widget_wrapper": {
            "class": "processing.algs.gdal.ui.RasterOptionsWidget.RasterOptionsWidgetWrapper"}})
        for parameter in advanced:
            parameter.setFlags(parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced)
            self.addParameter(parameter)

        self.addParameter(QgsProcessingParameterRasterDestination(self.OUTPUT, tr("Filled")))
        self.addParameter(QgsProcessingParameterRasterDestination(
            self.STATUS_OUTPUT, tr("How each pixel was filled"), optional=True,
            createByDefault=False))
        self.addParameter(QgsProcessingParameterRasterDestination(
            self.ERROR_OUTPUT, tr("Estimated standard error of each filled value (refined fill)"),
            optional=True, createByDefault=False))

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        keywords = self._gaps(parameters, context)
        fill = self._file(parameters, self.FILL, context)
        others = self._files(parameters, self.OTHER_FILLS, context)
        if others:
            fill = [fill, *others]
            if "fill_mask" in keywords:
                keywords["fill_mask"] = [keywords["fill_mask"],
                                         *self._files(parameters, self.OTHER_FILL_MASKS, context)]
        output = self._output(parameters, self.OUTPUT, context)
        status = self._output(parameters, self.STATUS_OUTPUT, context)
        error_raster = self._output(parameters, self.ERROR_OUTPUT, context)
        refine = self.parameterAsBoolean(parameters, self.REFINE, context)
        if error_raster and not refine:
            raise QgsProcessingException(tr("The error raster is made by the refined fill: tick "
                                            "Refined fill under Advanced parameters."))
        options = self.parameterAsString(parameters, self.CREATION_OPTIONS, context)

        def progress(fraction):
            feedback.setProgress(100 * fraction)
            return not feedback.isCanceled()

        with warnings.catch_warnings(record=True) as shown:
            warnings.simplefilter("always", pelvane.JobWarning)
            try:
                messages = pelvane.fill_files(
                    self._file(parameters, self.TARGET, context), fill, output,
                    method=METHODS[self.parameterAsEnum(parameters, self.METHOD, context)],
                    refine=refine,
                    similar=self.parameterAsInt(parameters, self.SIMILAR, context),
                    regularization=self.parameterAsDouble(parameters, self.REGULARIZATION, context),
                    max_iterations=self.parameterAsInt(parameters, self.MAX_ITERATIONS, context),
                    tolerance=self.parameterAsDouble(parameters, self.TOLERANCE, context),
                    creation_options=re.findall(r"[^|\s]+", options),
                    status_output=status, error_output=error_raster, progress=progress,
                    **keywords)
            except (pelvane.Error, ValueError) as error:
                raise QgsProcessingException(str(error)) from error
            finally:
                for warning in shown:
                    feedback.pushWarning(str(warning.message))
        feedback.pushInfo(messages[-1])

        if status and context.willLoadLayerOnCompletion(status):
            context.layerToLoadOnCompletionDetails(status).setPostProcessor(StatusStyle.create())
        return {self.OUTPUT: output, self.STATUS_OUTPUT: status, self.ERROR_OUTPUT: error_raster}

    def _gaps(self, parameters, context):
        """fill_files's keywords for the way the gaps are marked."""
        choice = self.parameterAsEnum(parameters, self.GAPS, context)
        if choice == GAPS_NODATA:
            return {"nodata": True}
        if choice == GAPS_RANGE:
            return {"valid_range": tuple(self.parameterAsRange(parameters, self.VALID_RANGE,
                                                               context))}
        masks = {"target_mask": self._file(parameters, self.TARGET_MASK, context),
                 "fill_mask": self._file(parameters, self.FILL_MASK, context)}
        if None in masks.values():
            raise QgsProcessingException(tr("Gaps marked by mask layers need both mask layers."))
        return masks

    def _file(self, parameters, name, context):
        """The file behind a raster layer parameter, which GDAL opens; None when not given."""
        # QGIS has checked that a layer given loads.
        return self._source(self.parameterAsRasterLayer(parameters, name, context))

    def _files(self, parameters, name, context):
        """The files behind a multiple-layer parameter, in the order given."""
        return [self._source(layer) for layer in self.parameterAsLayerList(parameters, name, context)]

    @staticmethod
    def _source(layer):
        if layer is None:
            return None
        if layer.providerType() != "gdal":
            raise QgsProcessingException(
                tr("Pelvane reads raster files, and the layer {} is not one.").format(layer.name()))
        return layer.source()

    def _output(self, parameters, name, context):
        """The path of an output; None when it is not wanted."""
        path = self.parameterAsOutputLayer(parameters, name, context)
        if not path:
            return None
        if os.path.splitext(path)[1].lower() not in (".tif", ".tiff"):
            raise QgsProcessingException(
                tr("Pelvane writes GeoTIFF files (.tif), not {}.").format(path))
        return path
