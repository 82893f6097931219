"""Low-level support modules of morvex.

``morvex.utils.memory`` is a native module; compiled consumers build against
the header ``memory.h`` (C/C++) or ``memory.pxd`` (Cython) that sit in this
directory.
"""
import os

__version__ = "0.1.0"


def get_include():
    """Directory to add to a consumer's include path (``#include <morvex/utils/memory.h>``
    needs its grandparent; ``#include "memory.h"`` this directory itself)."""
    return os.path.dirname(os.path.abspath(__file__))


def get_package_root():
    """Directory that holds the ``morvex`` package (for ``<morvex/utils/memory.h>``)."""
    return os.path.dirname(os.path.dirname(get_include()))
