"""zerbano.mrz: reads the machine-readable zone of a passport or ID card page."""


def read(image):
    from .reading import read as read_zone

    return read_zone(image)
