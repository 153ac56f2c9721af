"""Pelvane in QGIS: the Processing provider "Pelvane" and its algorithm
"Fill gaps from another date" (pelvane:fillgaps), over the pelvane Python
module. QGIS calls classFactory when it loads the plugin."""

import os
import sys

# The plugin's zip (for "Install from ZIP") carries the pelvane module it was
# built with in lib/; the Debian packages and `cmake --install` put the module
# where Python finds it instead.
_BUNDLED = os.path.join(os.path.dirname(__file__), "lib")
if os.path.isdir(_BUNDLED) and _BUNDLED not in sys.path:
    sys.path.insert(0, _BUNDLED)


def classFactory(iface):  # noqa: N802 (QGIS's name)
    try:
        import pelvane  # noqa: F401
    except ImportError as error:
        raise ImportError("Pelvane's QGIS plugin needs the pelvane Python module: install the "
                          "python3-pelvane package, or the plugin's zip that carries it "
                          f"({error})") from error
    from .plugin import PelvanePlugin
    return PelvanePlugin(iface)
