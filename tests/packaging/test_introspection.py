"""The compiled functions of the three modules introspect like Python functions:
signatures for inspect and help(), and the attributes a function has."""
import inspect
import pydoc
import re

import click
import pytest
from signature_support import python_equivalent, type_error

from corvina.lumen.sdk import pylon, satchel
from corvina.lumen.utils import ferrule

# Every public compiled callable, with the parameters of its Python equivalent.
SIGNATURES = {
    "ferrule.get_current_bar": "(market_code)",
    "ferrule.get_current_tick": "(market_code)",
    "ferrule.history_ticks": "(market_code, count)",
    "ferrule.history_bars": "(market_code, count)",
    "ferrule.stats": "()",
    "ferrule.reset_stats": "()",
    "ferrule.set_latency": "(enabled, time_zone=None)",
    "ferrule.latency_enabled": "()",
    "ferrule.latency_histograms": "()",
    "ferrule.start_recording": "(path, meta=None, *, overwrite=False)",
    "ferrule.stop_recording": "()",
    "ferrule.is_recording": "()",
    "ferrule.record_mark": "(label, value=None)",
    "ferrule.decode_records": "(data, messages, resolve, memo)",
    "ferrule.VelaStrategy.__init__": "(self, config)",
    "ferrule.VelaStrategy.initialize": "(self, config)",
    "ferrule.VelaStrategy.on_initialize": "(self)",
    "ferrule.VelaStrategy.on_switch_day": "(self)",
    "ferrule.VelaStrategy.on_snapshot": "(self, snapshot)",
    "ferrule.VelaStrategy.on_tick_order": "(self, tick_order)",
    "ferrule.VelaStrategy.on_tick_trade": "(self, tick_trade)",
    "ferrule.VelaStrategy.on_bar": "(self, bar)",
    "ferrule.VelaStrategy.on_login": "(self, login_res)",
    "ferrule.VelaStrategy.on_query_asset": "(self, asset_res, request_id, code, msg)",
    "ferrule.VelaStrategy.on_query_position": "(self, query_position_res, request_id, code, msg)",
    "ferrule.VelaStrategy.on_order": "(self, order)",
    "ferrule.VelaStrategy.on_trade": "(self, trade)",
    "ferrule.VelaStrategy.on_order_action_error": "(self, order_action_error)",
    "ferrule.VelaStrategy.on_algo_login": "(self, algo_login_res)",
    "ferrule.VelaStrategy.on_create_algo_parent_order_res": "(self, create_parent_order_res)",
    "ferrule.VelaStrategy.on_cancel_algo_parent_order_res": "(self, cancel_parent_order_res)",
    "ferrule.VelaStrategy.on_control_algo_parent_order_res": "(self, control_parent_order_res)",
    "ferrule.VelaStrategy.on_algo_parent_order_update": "(self, parent_order)",
    "ferrule.VelaStrategy.on_algo_child_order_update": "(self, child_order)",
    "ferrule.VelaStrategy.on_algo_child_order_trade": "(self, child_trade)",
    "ferrule.VelaStrategy.create_time_listener": "(self)",
    "ferrule.VelaStrategy.send_day_event": "(self, event_type, dt)",
    "ferrule.VelaStrategy.send_before_trading_event": "(self)",
    "ferrule.VelaStrategy.send_after_trading_event": "(self)",
    "ferrule.VelaStrategy.send_open_auction_event": "(self)",
    "ferrule.VelaStrategy.set_timer": "(self)",
    "satchel.get_license_info": "(license_name='CORVINA_LICENSE')",
    "satchel.set_to_environ": "(variables, value)",
    # The commands are click objects; what they run is the callback.
    "pylon.cli.callback": "()",
    "pylon.license.callback": "(username, password, show, env)",
    "pylon.shell.callback": "()",
    "pylon.update_data.callback":
        "(data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild)",
    "pylon.check_data.callback": "(data_bundle_path, minbar, daybar)",
    "pylon.download_data.callback": "(data_bundle_path, sample, file_path)",
}
MODULES = {"ferrule": ferrule, "satchel": satchel, "pylon": pylon}
COMPILED = type(ferrule.get_current_tick)


def resolve(path):
    head, *rest = path.split(".")
    obj = MODULES[head]
    for name in rest:
        obj = vars(obj)[name] if isinstance(obj, type) else getattr(obj, name)
    return obj


def public_compiled_callables():
    found = set()
    for short, module in MODULES.items():
        for name, value in vars(module).items():
            if name.startswith("_"):
                continue
            if type(value).__name__ == COMPILED.__name__ and value.__module__ == module.__name__:
                found.add(f"{short}.{name}")
            elif isinstance(value, click.Command):
                found.add(f"{short}.{name}.callback")
    found |= {f"ferrule.VelaStrategy.{n}" for n, v in vars(ferrule.VelaStrategy).items() if isinstance(v, COMPILED)}
    return found


def test_the_table_covers_every_public_compiled_callable():
    assert public_compiled_callables() == set(SIGNATURES)


@pytest.mark.parametrize("path", sorted(SIGNATURES))
def test_signature(path):
    f = resolve(path)
    sig = inspect.signature(f)
    assert str(sig) == SIGNATURES[path]
    assert all(p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) for p in sig.parameters.values())
    # 3.13's pydoc puts a long signature one parameter per line: compare the words.
    text = re.sub(r"\s+\)", ")", re.sub(r"\(\s+", "(", " ".join(pydoc.render_doc(f, renderer=pydoc.plaintext).split())))
    assert len(re.findall(rf"(?<![\w.]){re.escape(f'{f.__name__}{sig}')}", text)) == 1


def test_defaults_are_the_objects_the_call_fills_in():
    assert inspect.signature(satchel.get_license_info).parameters["license_name"].default == "CORVINA_LICENSE"


def test_bound_methods_drop_self_and_the_class_shows_its_constructor():
    strategy = ferrule.VelaStrategy.__new__(ferrule.VelaStrategy)
    assert str(inspect.signature(ferrule.VelaStrategy)) == "(config)"
    for name, f in vars(ferrule.VelaStrategy).items():
        if isinstance(f, COMPILED):
            unbound = list(inspect.signature(f).parameters.values())
            assert list(inspect.signature(getattr(strategy, name)).parameters.values()) == unbound[1:]
    assert "on_snapshot(snapshot) method of" in pydoc.render_doc(strategy.on_snapshot, renderer=pydoc.plaintext)


@pytest.mark.parametrize("name", ["cli", "license", "shell", "update_data", "check_data", "download_data"])
def test_click_passes_exactly_the_callbacks_parameters(name):
    command = getattr(pylon, name)
    passed = {p.name for p in command.params if p.expose_value}
    assert passed == set(inspect.signature(command.callback).parameters)


def failing_calls(sig):
    """Argument lists that a call rejects before running: they show names, defaults and kinds."""
    names = list(sig.parameters)
    required = [n for n, p in sig.parameters.items() if p.default is p.empty]
    calls = [(tuple(range(len(names) + 1)), {}), ((), {**{n: 0 for n in names}, "bogus": 0})]
    if required:
        calls.append(((), {}))
    if len(required) > 1:
        calls.append(((), {n: 0 for n in required[1:]}))
    if names:
        calls.append(((0,), {names[0]: 0}))
    return calls


@pytest.mark.parametrize("path", sorted(SIGNATURES))
def test_calls_reject_what_the_signature_rejects_with_the_same_message(path):
    f = resolve(path)
    ref = python_equivalent(f)
    for args, kwargs in failing_calls(inspect.signature(f)):
        assert type_error(f, *args, **kwargs) == type_error(ref, *args, **kwargs), (args, kwargs)


def outcome(obj, attr, op):
    try:
        if op == "del":
            delattr(obj, attr)
        else:
            setattr(obj, attr, op)
    except Exception as e:
        return type(e), str(e)
    return getattr(obj, attr)


@pytest.mark.parametrize("path", ["ferrule.get_current_tick", "ferrule.VelaStrategy.on_order",
                                  "satchel.set_to_environ", "pylon.cli.callback"])
@pytest.mark.parametrize("attr", ["__name__", "__qualname__", "__module__", "__doc__"])
@pytest.mark.parametrize("op", [1, None, "text", "del"])
def test_function_attributes_take_what_a_python_functions_take(path, attr, op):
    f = resolve(path)
    saved = getattr(f, attr)

    def ref():
        pass
    try:
        assert outcome(f, attr, op) == outcome(ref, attr, op)
        repr(f)
        with pytest.raises(TypeError):
            f(*range(9))
    finally:
        setattr(f, attr, saved)
    assert getattr(f, attr) == saved
