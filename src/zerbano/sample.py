"""A synthetic passport data page to try the preprocessing on.

The holder, the issuing state ("UTO") and every number are made up; the two MRZ lines follow
the 44-character layout of passport booklets, with real check digits so that an OCR stage
reading them can validate its result.
"""

import cv2
import numpy as np

WIDTH, HEIGHT = 880, 620

HOLDER = {
    "surname": "SAMPLE",
    "given_names": "ZERBA TESTER",
    "document_number": "ZB0000001",
    "nationality": "UTO",
    "birth_date": "900101",  # YYMMDD
    "sex": "F",
    "expiry_date": "360101",
    "personal_number": "",
}


def check_digit(field):
    """The MRZ check digit: weights 7, 3, 1 over digits, letters A=10..Z=35 and '<' = 0."""
    total = 0
    for index, char in enumerate(field):
        if char.isdigit():
            value = int(char)
        elif char.isalpha():
            value = ord(char.upper()) - ord("A") + 10
        else:
            value = 0
        total += value * (7, 3, 1)[index % 3]
    return str(total % 10)


def mrz_lines(holder=HOLDER):
    """The two 44-character MRZ lines of a passport for `holder`."""
    names = holder["surname"] + "<<" + holder["given_names"].replace(" ", "<")
    first = ("P<" + holder["nationality"] + names).ljust(44, "<")[:44]
    number = holder["document_number"].ljust(9, "<")
    personal = holder["personal_number"].ljust(14, "<")
    fields = [
        number + check_digit(number),
        holder["nationality"],
        holder["birth_date"] + check_digit(holder["birth_date"]),
        holder["sex"],
        holder["expiry_date"] + check_digit(holder["expiry_date"]),
        personal + check_digit(personal),
    ]
    composite = fields[0] + fields[2] + fields[4] + fields[5]
    second = "".join(fields) + check_digit(composite)
    assert len(first) == len(second) == 44
    return first, second


def draw_page(holder=HOLDER):
    """Draws the data page as a BGR image of HEIGHT x WIDTH pixels."""
    rng = np.random.default_rng(2026)
    page = np.full((HEIGHT, WIDTH, 3), (226, 232, 236), np.uint8)
    # Faint guilloche-like waves and paper grain, which the opening is meant to clean.
    ys, xs = np.mgrid[0:HEIGHT, 0:WIDTH]
    waves = (np.sin(xs / 23.0 + np.sin(ys / 41.0) * 3) > 0.96).astype(np.uint8) * 28
    page -= waves[..., None]
    page = cv2.add(page, rng.integers(0, 12, page.shape, np.uint8))

    ink = (60, 40, 30)
    font = cv2.FONT_HERSHEY_SIMPLEX
    cv2.putText(page, "PASSPORT", (330, 50), font, 1.2, ink, 2, cv2.LINE_AA)
    cv2.putText(page, "UTOPIA", (40, 50), font, 0.8, ink, 2, cv2.LINE_AA)
    cv2.rectangle(page, (40, 90), (250, 370), (150, 140, 130), -1)  # the photo's place
    cv2.circle(page, (145, 190), 55, (190, 180, 170), -1)
    cv2.ellipse(page, (145, 350), (90, 80), 0, 180, 360, (190, 180, 170), -1)
    rows = [
        ("Surname", holder["surname"]),
        ("Given names", holder["given_names"]),
        ("Nationality", holder["nationality"]),
        ("Date of birth", "01 JAN 1990"),
        ("Sex", holder["sex"]),
        ("Date of expiry", "01 JAN 2036"),
        ("Document no.", holder["document_number"]),
    ]
    for index, (label, value) in enumerate(rows):
        y = 110 + index * 40
        cv2.putText(page, label, (290, y), font, 0.45, (110, 100, 90), 1, cv2.LINE_AA)
        cv2.putText(page, value, (290, y + 20), font, 0.7, ink, 2, cv2.LINE_AA)

    for index, line in enumerate(mrz_lines(holder)):
        cv2.putText(page, line, (28, 520 + index * 50), cv2.FONT_HERSHEY_DUPLEX, 0.86,
                    (20, 20, 20), 2, cv2.LINE_AA)
    return page
