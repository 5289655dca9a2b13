import importlib.util

import pytest

import vardel._vardel as _vardel


def _load_hooks():
    found = importlib.util.spec_from_file_location("_vardel_testhooks", _vardel.__file__)
    try:
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        return module
    except ImportError:  # a build without the test hooks
        return None


_HOOKS = _load_hooks()


@pytest.fixture(scope="session")  # session-wide: hypothesis tests use it too
def hooks():
    if _HOOKS is None:
        pytest.skip("extension built without test hooks")
    return _HOOKS


@pytest.fixture
def panic_type(hooks):
    return hooks.panic_type()
