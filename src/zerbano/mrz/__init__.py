"""zerbano.mrz: the machine-readable zone of passports, ID cards and visas (ICAO Doc 9303).

`parse` splits the zone's text into its fields and checks its check digits; with
`repair=True` it also undoes OCR's usual confusions where the field types or the check digits
decide. `read` finds the zone in a photo and reads it with zerbano's own OCR-B classifier.
Pure Python at import: importing this package loads neither OpenCV nor NumPy; `read` loads
them on its first call.
"""

from ..imagesize import DEFAULT_MAX_PIXELS
from .text import MRZ, MRZError, Repair, check_digit, parse


def read(image, *, max_pixels=DEFAULT_MAX_PIXELS):
    """The zone read from a photo, or None; see `zerbano.mrz.reading.read`."""
    from .reading import read as read_zone

    return read_zone(image, max_pixels=max_pixels)


__all__ = ["MRZ", "MRZError", "Repair", "check_digit", "parse", "read"]
