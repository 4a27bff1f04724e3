"""vantok: light scattering and absorption by small particles.

The computations live in the extension module ``vantok._vantok``.
"""
