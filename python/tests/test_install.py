"""The package installed with pip into virtual environments, offline: one that
sees Debian's packages installs it and runs a deck from elsewhere; one that
does not refuses it without installing half of it."""

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pandas as pd
import pytest
from conftest import PROGRAM, ROOT  # noqa: E402

pytestmark = pytest.mark.slow

# What the installed package is asked, from a folder outside the repository.
PROBE = """
import importlib.metadata, json, os, sys
import quarno
res = quarno.run(sys.argv[1])
res.observations.to_csv(sys.argv[2], index=False)
os.environ.pop("QUARNO")
print(json.dumps({"file": quarno.__file__, "version": quarno.__version__,
                  "installed_version": importlib.metadata.version("quarno"),
                  "beside": quarno.default_program()}))
"""


def _clean_env(**extra):
    """The environment of a venv's commands: nothing that points at the tree."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "QUARNO", "VIRTUAL_ENV")}
    env.update(PIP_NO_CACHE_DIR="1", PIP_DISABLE_PIP_VERSION_CHECK="1", **extra)
    return env


def _venv(where, system_site_packages):
    args = ["/usr/bin/python3", "-m", "venv", str(where)]
    if system_site_packages:
        args.insert(3, "--system-site-packages")
    subprocess.run(args, check=True, env=_clean_env())
    return where / "bin"


def _pip(bin_dir, *args, cwd):
    return subprocess.run([str(bin_dir / "pip"), "install", "--no-index", *args], cwd=cwd,
                          env=_clean_env(), text=True, capture_output=True,
                          stdin=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def work():
    """A temporary folder holding a copy of the package's sources (pip builds
    in the tree it is given), removed at the end."""
    with tempfile.TemporaryDirectory(prefix="quarno-install-") as folder:
        folder = Path(folder)
        src = folder / "src"
        shutil.copytree(ROOT / "python" / "quarno", src / "quarno",
                        ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy(ROOT / "python" / "pyproject.toml", src)
        yield folder


@pytest.fixture(scope="module")
def installed(work):
    """A venv that sees Debian's packages, with the package and every extra
    installed into it (the extras' bounds met by Debian's versions)."""
    bin_dir = _venv(work / "venv", system_site_packages=True)
    done = _pip(bin_dir, "--no-build-isolation", "./src[fit,plot,sample,progress]", cwd=work)
    assert done.returncode == 0, done.stdout + done.stderr
    return bin_dir


def test_installed_package_runs_a_deck_from_elsewhere(installed, work):
    from quarno import Results
    elsewhere = work / "elsewhere"
    elsewhere.mkdir()
    shutil.copytree(ROOT / "examples" / "first-deck", elsewhere / "deck")
    (installed / "quarno").symlink_to(PROGRAM)
    done = subprocess.run([str(installed / "python"), "-c", PROBE, "deck", "obs.csv"],
                          cwd=elsewhere, env=_clean_env(QUARNO=PROGRAM), text=True,
                          capture_output=True, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    probe = json.loads(done.stdout.splitlines()[-1])
    venv = installed.parent.resolve()
    assert Path(probe["file"]).resolve().is_relative_to(venv), probe
    assert probe["version"] == probe["installed_version"]
    assert Path(probe["beside"]).parent.resolve() == venv / "bin"
    # The installed package read the run's observations as the tree's does.
    mine = pd.read_csv(elsewhere / "obs.csv")
    tree = Results(elsewhere / "deck").observations
    assert len(mine) > 100
    pd.testing.assert_frame_equal(mine, tree.reset_index(drop=True), check_dtype=False)


@pytest.mark.parametrize("command", ["quarno-fit", "quarno-plot", "quarno-sample"])
def test_installed_commands_answer_help(installed, work, command):
    done = subprocess.run([str(installed / command), "--help"], cwd=work, env=_clean_env(),
                          text=True, capture_output=True, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"usage: {command}")


def test_a_venv_without_debians_packages_refuses_the_package(installed, work):
    """Offline, numpy and pandas cannot come from anywhere: pip stops, names
    what is missing, and leaves nothing of the package installed."""
    built = subprocess.run([str(installed / "pip"), "wheel", "--no-index", "--no-deps",
                            "--no-build-isolation", "-w", "wheels", "./src"], cwd=work,
                           env=_clean_env(), capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    wheel = next((work / "wheels").glob("quarno-*.whl"))
    bare = _venv(work / "bare", system_site_packages=False)
    missing = ("No matching distribution found for numpy",
               "No matching distribution found for pandas")
    # From the sources the build may stop first on what the venv's setuptools
    # lacks to build a wheel; from a wheel the dependencies are named.
    for target, named in (("./src", ("invalid command 'bdist_wheel'", *missing)),
                          (str(wheel), missing)):
        done = _pip(bare, "--no-build-isolation", target, cwd=work)
        assert done.returncode != 0, target
        message = done.stdout + done.stderr
        assert any(n in message for n in named), message
        left = subprocess.run([str(bare / "python"), "-c", "import quarno"], cwd=work,
                              env=_clean_env(), capture_output=True)
        assert left.returncode != 0, target
    assert not list((work / "bare").rglob("quarno*"))
