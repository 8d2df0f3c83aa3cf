# The version of the package: the wheel's metadata is read from this line (pyproject.toml), and
# the toolkit, its command line and its model files report it.
__version__ = "0.1.0"
