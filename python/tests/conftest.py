"""The package's tests against the programs of the build they were installed from
(tools/test-python): zebscan's --json records are what every scan here must give. Trees are made
once a session: the samples, zebscan's fixture tree (tests/zebscan_samples.py builds it), a small
corpus of bench/mkcorpus, and the container layer's inputs (tests/container_inputs.py)."""
import importlib.util
import json
import os
import subprocess
import sys
import types
from typing import Dict, List

import pytest

BIN = os.environ.get("ZEBMACRO_TEST_BIN", "")
SOURCE = os.environ.get("ZEBMACRO_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def program(name: str) -> str:
    path = os.path.join(BIN, name)
    if not os.access(path, os.X_OK):
        pytest.skip("%s is not built (ZEBMACRO_TEST_BIN=%r)" % (name, BIN))
    return path


def zebscan_records(*args: str, cwd: str) -> List[Dict]:
    """zebscan --deep --json's entry records, in its order."""
    p = subprocess.run([program("zebscan"), "--deep", "--json", "--no-summary", *args], cwd=cwd,
                       capture_output=True)
    assert p.returncode in (0, 1, 2), p.stderr
    return [json.loads(line) for line in p.stdout.splitlines()]


def zebscan_lines(*args: str, cwd: str) -> List[str]:
    """The same, each record's line as printed."""
    p = subprocess.run([program("zebscan"), "--deep", "--json", "--no-summary", *args], cwd=cwd,
                       capture_output=True)
    assert p.returncode in (0, 1, 2), p.stderr
    # Split on b"\n" alone: a record's text may hold U+2028 or U+0085, which str.splitlines()
    # takes for line ends.
    return [line.decode() for line in p.stdout.splitlines()]


@pytest.fixture(scope="session")
def work(tmp_path_factory: pytest.TempPathFactory) -> str:
    """A directory holding samples/out (mksamples' documents), the trees are made beside it."""
    d = str(tmp_path_factory.mktemp("zebmacro"))
    subprocess.run([program("mksamples"), "samples/out"], cwd=d, check=True,
                   stdout=subprocess.DEVNULL)
    return d


@pytest.fixture(scope="session")
def samples(work: str) -> str:
    return os.path.join(work, "samples/out")


def _zebscan_samples() -> types.ModuleType:
    spec = importlib.util.spec_from_file_location(
        "zebscan_samples", os.path.join(SOURCE, "tests", "zebscan_samples.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def tree(work: str) -> str:
    """zebscan's fixture tree: every kind of entry its walk accounts for."""
    root = os.path.join(work, "tree")
    _zebscan_samples().build_tree(types.SimpleNamespace(work=work), root, False)
    return root


@pytest.fixture(scope="session")
def corpus(work: str) -> str:
    """A small corpus of bench/mkcorpus: 600 documents, 5% of them carrying signatures."""
    root = os.path.join(work, "corpus")
    subprocess.run([program("mkcorpus"), root, "600", "1"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(root, "docs")


@pytest.fixture(scope="session")
def containers(work: str, samples: str) -> str:
    """The container layer's inputs: archives and mail holding the samples, bombs among them."""
    root = os.path.join(work, "containers")
    subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "container_inputs.py"),
                    samples, root], check=True, stdout=subprocess.DEVNULL)
    return root
