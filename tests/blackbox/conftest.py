# Black-box tests: each test gets its own copy of the library (see bvlib.py).
from bvfixtures import *  # noqa: F401,F403
