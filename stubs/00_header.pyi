"""Python module for korvane"""
# Type stubs of the korvane extension module.  Arrays are NumPy arrays of
# exactly the element type shown (nothing is cast); every result is a new
# C-contiguous array.  Response matrices are int32, persons in rows and items
# in columns; a negative code is missing.

from typing import Sequence

import numpy as np
import numpy.typing as npt

Int32Array = npt.NDArray[np.int32]
Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]
Float64Array = npt.NDArray[np.float64]

__all__: list[str]
