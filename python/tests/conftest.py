"""Shared by the package's tests: `many_runs` marks a test of the Python
orchestration (clusters, samplers, guides) that makes many runs. With
QUARNO_SLOW_RUNS=1 (a program built with the sanitizers, whose runs take five
to ten times as long) it is skipped: the program meets the same decks in the
other tests, and `make test` runs it in full."""

import os

import pytest

many_runs = pytest.mark.skipif(os.environ.get("QUARNO_SLOW_RUNS") == "1",
                               reason="many runs of a slow (sanitizer) build; make test runs it")
