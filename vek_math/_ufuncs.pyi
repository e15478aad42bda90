import numpy as np

exp: np.ufunc
ln: np.ufunc
add: np.ufunc
sub: np.ufunc
mul: np.ufunc
div: np.ufunc
sqrt: np.ufunc
sin: np.ufunc
cos: np.ufunc
pow: np.ufunc
tension: np.ufunc
boost: np.ufunc
octonion_mul: np.ufunc
geometric_product: np.ufunc

def _simd_level(level: int, /) -> int: ...
