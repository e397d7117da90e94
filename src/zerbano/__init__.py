"""zerbano: prepares photos of passport pages for the OCR stage that reads their MRZ.

The work is done by the extension module :mod:`zerbano.image`, which is loaded only when it is
imported (``import zerbano.image``): importing this package alone needs neither OpenCV nor NumPy.
"""

__version__ = "0.1.0"
