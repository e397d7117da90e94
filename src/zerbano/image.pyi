from typing import Any, TypeVar, overload

import numpy as np
import numpy.typing as npt

_Array = TypeVar("_Array", bound=np.ndarray[Any, Any])

def preprocess_image(image_input: str | bytes | Any) -> npt.NDArray[np.uint8]:
    """Reads an image (path or base64) and preprocesses it for OCR.

    Returns the gray image, enlarged 2x (bicubic) and opened with a 2x2 kernel of ones.
    Raises ValueError if the input is neither a readable image file nor base64 of an image.
    """

@overload
def crop_mrz_region(image: _Array) -> _Array: ...
@overload
def crop_mrz_region(image: Any) -> Any:
    """Returns ``image[int(height * 0.7):height, 0:width]``: the bottom band of the image,
    as a view that shares the input's pixels for an ndarray.
    """
