# Every integration case runs alone as the init of a namespace of its own (CTest starts each one
# through harness.in_namespace); the `world` fixture builds its private world there.
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402


@pytest.fixture
def world(request):
    marker = request.node.get_closest_marker("server")
    w = harness.World(*(marker.args if marker else ()))
    yield w
    reports = [open(f"{harness.SANITIZER_DIR}/{f}").read() for f in os.listdir(harness.SANITIZER_DIR)]
    w.close()
    assert not reports, "\n".join(reports)
