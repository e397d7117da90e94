"""The synthetic passport data page shipped to try zerbano on (data/sample-passport.jpg).

The holder, the issuing state ("UTO") and every number are made up; the two MRZ lines follow
the 44-character layout of passport booklets, with real check digits so that a reader can
validate its result. tools/make_sample.py draws the page from these lines.
"""

from zerbano.mrz import check_digit

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
