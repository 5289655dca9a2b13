"""Fixtures shared by the test files: the test-only entry points of the extension."""

import importlib.util

import pytest

import vardel._vardel as _vardel


def _load_hooks():
    found = importlib.util.spec_from_file_location("_vardel_testhooks", _vardel.__file__)
    try:
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    except ImportError:  # a build without the test hooks
        return None
    return module


_HOOKS = _load_hooks()


@pytest.fixture
def hooks():
    """The test-only entry points (panic, throw_error, panic_type)."""
    if _HOOKS is None:
        pytest.skip("extension built without test hooks")
    return _HOOKS


@pytest.fixture
def panic_type(hooks):
    return hooks.panic_type()
