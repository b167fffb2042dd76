"""The PROXI spectra service of `kestrune serve`, free of any web framework.

    service = ProxiService(RunCatalogue([Path("archive")]), collection="USI000000")
    spectra = service.spectra([("resultType", "full"), ("usi", "mzspec:USI000000:run17:scan:42")])

A request names a spectrum by its USI; the answer is a list of one PROXI spectrum
object, or a `ProxiError` that the server sends as the PROXI error object.

Its rooms: the runs served and which run a name means (`catalogue`), the open runs
(`open_runs`), the spectra endpoint (`service`), the spectrum object (`spectrum`)
and the error object (`errors`).
"""

from kestrune_tools.proxi.catalogue import MISS_RESCAN_SECONDS as MISS_RESCAN_SECONDS
from kestrune_tools.proxi.catalogue import RunCatalogue, ServedRun
from kestrune_tools.proxi.catalogue import find_runs as find_runs
from kestrune_tools.proxi.errors import ProxiError
from kestrune_tools.proxi.open_runs import OpenRuns
from kestrune_tools.proxi.service import DEFAULT_COLLECTION, ProxiService
from kestrune_tools.proxi.spectrum import spectrum_attributes as spectrum_attributes
from kestrune_tools.proxi.spectrum import spectrum_object as spectrum_object

__all__ = ["DEFAULT_COLLECTION", "OpenRuns", "ProxiError", "ProxiService", "RunCatalogue", "ServedRun"]
