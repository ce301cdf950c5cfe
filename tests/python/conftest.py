import sys
from pathlib import Path

# Make the test helper packages under tests/ (such as wifffixture) importable.
_TESTS = str(Path(__file__).resolve().parents[1])
if _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)
