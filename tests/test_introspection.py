"""Every public class and function of the kit shows its parameters to inspect.signature and help()."""

import importlib
import inspect

import pytest

MODULES = ["quillo_sdk.structures.latestq", "quillo_sdk.roi.zone_gate", "quillo_sdk.model.fetch",
           "quillo_sdk.logging.log_id", "quillo_sdk.logging", "quillo_sdk.constants", "quillo_sdk.roi",
           "quillo_sdk.devserver", "quillo_sdk.picture", "quillo_sdk.cli", "quillo_sdk.demo"]


def public_callables():
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        for attr, obj in vars(module).items():
            if attr.startswith("_") or not callable(obj) or getattr(obj, "__module__", None) != name:
                continue
            # Enums and exceptions take the arguments of their bases, which have no signature.
            if isinstance(obj, type) and issubclass(obj, (__import__("enum").Enum, BaseException)):
                continue
            yield "%s.%s" % (name, attr), obj
            if isinstance(obj, type):
                for member, value in vars(obj).items():
                    if not member.startswith("_") and callable(getattr(obj, member)) and not isinstance(value, type):
                        yield "%s.%s.%s" % (name, attr, member), getattr(obj, member)


CALLABLES = dict(public_callables())


@pytest.mark.parametrize("name", sorted(CALLABLES))
def test_signature_is_available(name):
    inspect.signature(CALLABLES[name])


def test_log_id_generator_signatures_name_their_parameters():
    from quillo_sdk.logging.log_id import LogIDGenerator

    assert list(inspect.signature(LogIDGenerator).parameters) == ["node_id", "source_idx"]
    assert list(inspect.signature(LogIDGenerator.format_log_with_id).parameters) == ["message", "log_id"]
    assert inspect.signature(LogIDGenerator.generate_session_id).parameters["force"].default is False
    bound = LogIDGenerator(node_id="abc", source_idx=0)
    assert list(inspect.signature(bound.generate_event_id).parameters) == ["event_type"]
    with pytest.raises(TypeError, match="initialised LogIDGenerator"):
        LogIDGenerator.__new__(LogIDGenerator).generate_event_id()
