# Build script of the marlox Python module; the metadata is in setup.cfg.
from setuptools import setup

setup()
