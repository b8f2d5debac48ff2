"""Builds the compiled part of the package, qorvin._qorvin, from src/ and the public header in
../include. It links nothing of the client library: the library is loaded at run time
(QORVIN_CLIENT_LIBRARY, beside the package, or the system's search path)."""

import os

import pybind11
from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
INCLUDE = os.path.join(HERE, "..", "include")
if not os.path.exists(os.path.join(INCLUDE, "qorvin", "QorvinClient.h")):
    raise SystemExit("python/setup.py: install from the repository (needs ../include/qorvin)")

setup(
    packages=["qorvin"],
    ext_modules=[Extension(
        "qorvin._qorvin",
        sources=["src/module.cpp", "src/PacketDecoder.cpp", "src/ColumnDecoder.cpp"],
        include_dirs=[pybind11.get_include(), INCLUDE],
        extra_compile_args=["-std=c++20", "-fvisibility=hidden"],
        libraries=["dl"],
        language="c++",
    )],
)
