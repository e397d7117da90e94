"""zerbano.mrz: the machine-readable zone of passports, ID cards and visas (ICAO Doc 9303).

`parse` splits the zone's text into its fields and checks its check digits; with
`repair=True` it also undoes OCR's usual confusions where the field types or the check digits
decide. Pure Python: importing this package loads neither OpenCV nor NumPy.
"""

from .text import MRZ, MRZError, Repair, check_digit, parse

__all__ = ["MRZ", "MRZError", "Repair", "check_digit", "parse"]
