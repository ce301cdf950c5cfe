import faulthandler
import sys
from pathlib import Path

import pytest

# Make the test helper packages under tests/ (such as wifffixture) importable.
_TESTS = str(Path(__file__).resolve().parents[1])
if _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)


@pytest.fixture
def watchdog(request):
    """Ends the run with every thread's traceback when a test outlives its
    module's WATCHDOG_SECONDS (60 unless the module sets it): a call that never
    returns inside the extension (a read of a FIFO or /dev/zero, a wait in
    __next__) would otherwise stall the whole suite. Modules opt in with
    ``pytestmark = pytest.mark.usefixtures("watchdog")``."""
    faulthandler.dump_traceback_later(getattr(request.module, "WATCHDOG_SECONDS", 60), exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
