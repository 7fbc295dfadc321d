"""vantrel: frequency- and time-domain electromagnetic finite-element solver."""
from vantrel._native import *  # noqa: F401,F403
from vantrel._native import __all__, __doc__  # noqa: F401
