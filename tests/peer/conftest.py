# Real third-party clients against a broker loaded into the pytest process.
# The library wrapper and fixtures are the black-box suite's.
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "blackbox"))

from bvfixtures import *  # noqa: E402,F401,F403
