"""Records: classes of named values, made as `dataclasses` makes them, for less start-up.

Most runs of the command plan one small school, so the time a person waits is mostly the
interpreter starting and the command importing what it needs. `dataclasses` imports
`inspect` (and with it `ast`, `dis` and `tokenize`) and compiles five or six functions for
every class; for the command's twenty-odd classes that was more than a third of its own
start. A record has what the package uses of a dataclass: fields with defaults or default
factories, positional or keyword construction, `__post_init__`, frozen instances,
equality (and, frozen, hashing) by value, a repr, and `replace`. Its first instances are made
by a generic constructor; the class's own is compiled once it is made often, so a class a run
makes a few times, or never, costs no compiling.

    @record(frozen=True)
    class Lesson:
        teacher: str
        period: int
        room: str = ""

    @record
    class Week:
        name: str
        notes: list[str] = field(default_factory=list)
"""

from __future__ import annotations

from collections import namedtuple
from functools import partial
from operator import attrgetter

# typing is left out of a run; mypy reads any name TYPE_CHECKING as true.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, dataclass_transform
else:

    def dataclass_transform[F](**_: object) -> Callable[[F], F]:
        return lambda decorator: decorator


__all__ = ["FrozenError", "NamedTuple", "field", "record", "replace", "values"]

_MISSING: Any = object()


class FrozenError(AttributeError):
    """A field of a frozen record was assigned or deleted."""


class _Field:
    __slots__ = ("default", "factory", "init")

    def __init__(self, default: object, factory: Callable[[], object] | None, init: bool) -> None:
        self.default = default
        self.factory = factory
        self.init = init


def field(
    *, default: Any = _MISSING, default_factory: Callable[[], Any] | None = None, init: bool = True
) -> Any:
    """A field's default made anew for each record (`default_factory`), or a field left out
    of the constructor (`init=False`), to be set by `__post_init__`."""
    if default is not _MISSING and default_factory is not None:
        raise ValueError("a field takes a default or a default_factory, not both")
    return _Field(default, default_factory, init)


@dataclass_transform(field_specifiers=(field,))
def record[R](cls: type[R] | None = None, /, *, frozen: bool = False, slots: bool = False) -> Any:
    """Make `cls` a record of its annotated fields: `@record`, `@record(frozen=True)`;
    `slots=True` for a class of many small instances (no `__dict__`)."""

    def make(cls: type[R]) -> type[R]:
        return _make(cls, frozen, slots)

    return make if cls is None else make(cls)


def replace[R](instance: R, /, **changes: Any) -> R:
    """A copy of the record with the fields named changed, made by its constructor."""
    fields: dict[str, _Field] = type(instance).__record_fields__  # type: ignore[attr-defined]
    for name in changes:
        if name not in fields or not fields[name].init:
            raise TypeError(f"{type(instance).__qualname__} has no field {name!r} to replace")
    given = {name: getattr(instance, name) for name, f in fields.items() if f.init}
    given.update(changes)
    return type(instance)(**given)


def values(instance: object) -> tuple[Any, ...]:
    """The record's field values, in the order of its fields."""
    return type(instance).__record_values__(instance)  # type: ignore[attr-defined, no-any-return]


class _TupleMaker(type):
    def __new__(cls, name: str, bases: tuple[type, ...], namespace: dict[str, Any]) -> Any:
        if not bases:
            return super().__new__(cls, name, bases, namespace)
        fields = tuple(namespace.get("__annotations__", {}))
        defaults = [namespace[f] for f in fields if f in namespace]
        made = namedtuple(name, fields, defaults=defaults, module=namespace["__module__"])  # type: ignore[misc]
        for key, value in namespace.items():
            if key not in fields and key not in ("__module__", "__qualname__", "__annotations__"):
                setattr(made, key, value)
        made.__qualname__ = namespace["__qualname__"]
        return made


class NamedTuple(metaclass=_TupleMaker):
    """typing.NamedTuple's class form, for a run that does not import typing: fields with
    their defaults, a docstring and methods, made by collections.namedtuple."""


def _make[R](cls: type[R], frozen: bool, slots: bool) -> type[R]:
    fields: dict[str, _Field] = {}
    defaulted = False
    # inspect.get_annotations would import inspect, which records are here to avoid
    for name, annotation in cls.__dict__.get("__annotations__", {}).items():  # noqa: RUF063
        if str(annotation).startswith(("ClassVar", "typing.ClassVar")):
            continue
        given = cls.__dict__.get(name, _MISSING)
        spec = given if isinstance(given, _Field) else _Field(given, None, True)
        if spec.init:
            if spec.default is not _MISSING or spec.factory is not None:
                defaulted = True
            elif defaulted:
                raise TypeError(
                    f"{cls.__qualname__}: field {name!r} without a default follows one with"
                )
        fields[name] = spec
    names = tuple(fields)
    if slots:  # slots are declared when a class is made: made again, without its defaults
        body = {
            k: v for k, v in cls.__dict__.items() if k not in (*names, "__dict__", "__weakref__")
        }
        cls = type(cls)(
            cls.__name__,
            cls.__bases__,
            {**body, "__slots__": names, "__qualname__": cls.__qualname__},
        )  # type: ignore[misc]
    else:
        for name, spec in fields.items():  # the class keeps a plain default, as a dataclass does
            if isinstance(cls.__dict__.get(name), _Field):
                if spec.default is _MISSING:
                    delattr(cls, name)
                else:
                    setattr(cls, name, spec.default)
    cls.__record_fields__ = fields  # type: ignore[attr-defined]
    # attrgetter gives one value, not a tuple, for a single name
    cls.__record_values__ = (  # type: ignore[attr-defined]
        attrgetter(*names)
        if len(names) > 1
        else lambda record: tuple(getattr(record, n) for n in names)
    )
    cls.__match_args__ = tuple(n for n, f in fields.items() if f.init)  # type: ignore[attr-defined, misc]
    cls.__init__ = _first_init(cls, fields, slots)  # type: ignore[method-assign]
    cls.__repr__ = _repr  # type: ignore[method-assign]
    cls.__eq__ = _eq  # type: ignore[method-assign]
    if frozen:
        cls.__hash__ = _hash  # type: ignore[method-assign]
        cls.__setattr__ = _frozen_setattr  # type: ignore[method-assign]
        cls.__delattr__ = _frozen_delattr  # type: ignore[method-assign]
    else:
        cls.__hash__ = None  # type: ignore[assignment]  # equal by value, so not hashable
    return cls


# Instances of a class made by the generic constructor before its own is compiled. Compiling
# takes about 80 µs a class, binding by a loop a couple more µs an instance than compiled code:
# a class made a few times in a run (the school's week, its settings, its plan) is never worth
# compiling, the one made for every lesson of a school soon is.
_COMPILE_AFTER = 32


def _first_init(cls: type, fields: dict[str, _Field], slots: bool) -> Callable[..., None]:
    """The constructor of a class's first instances: the arguments bound by a loop, with the
    errors a compiled constructor gives; the compiled one takes over after `_COMPILE_AFTER`."""
    parameters = tuple(name for name, f in fields.items() if f.init)
    required = sum(1 for n in parameters if fields[n].default is _MISSING and not fields[n].factory)
    qualname = f"{cls.__qualname__}.__init__"
    post_init = hasattr(cls, "__post_init__")
    made = 0

    def __init__(self: object, /, *args: Any, **kwargs: Any) -> None:
        nonlocal made
        made += 1
        if made > _COMPILE_AFTER:
            compiled = _compile_init(cls, fields, slots)
            cls.__init__ = compiled  # type: ignore[misc]
            compiled(self, *args, **kwargs)
            return
        given = _bind(qualname, parameters, required, args, kwargs)
        store = partial(object.__setattr__, self) if slots else self.__dict__.__setitem__
        for name, f in fields.items():
            if name in given:
                store(name, given[name])
            elif f.factory is not None:
                store(name, f.factory())
            elif f.default is not _MISSING:
                store(name, f.default)
        if post_init:
            self.__post_init__()  # type: ignore[attr-defined]

    return __init__


def _bind(
    qualname: str, parameters: tuple[str, ...], required: int, args: Any, kwargs: dict[str, Any]
) -> dict[str, Any]:
    """The arguments by parameter name, or the TypeError Python gives for the same call
    (checked in Python's order: the keywords, the number of positions, what is missing)."""
    given = dict(zip(parameters, args, strict=False))
    for name, value in kwargs.items():
        if name in given:
            raise TypeError(f"{qualname}() got multiple values for argument {name!r}")
        if name not in parameters:
            raise TypeError(f"{qualname}() got an unexpected keyword argument {name!r}")
        given[name] = value
    if len(args) > len(parameters):
        most = len(parameters) + 1  # with self, as Python counts
        takes = f"from {required + 1} to {most}" if required < len(parameters) else str(most)
        plural = "" if takes == "1" else "s"
        raise TypeError(
            f"{qualname}() takes {takes} positional argument{plural} but {len(args) + 1} were given"
        )
    missing = [repr(name) for name in parameters[:required] if name not in given]
    if missing:
        names = missing[0] if len(missing) == 1 else " and ".join(missing)
        if len(missing) > 2:
            names = ", ".join(missing[:-1]) + ", and " + missing[-1]
        plural = "" if len(missing) == 1 else "s"
        raise TypeError(
            f"{qualname}() missing {len(missing)} required positional argument{plural}: {names}"
        )
    return given


def _compile_init(cls: type, fields: dict[str, _Field], slots: bool) -> Callable[..., None]:
    """The constructor as a dataclass would write it: one parameter per field, in order.
    It stores past a frozen record's __setattr__: in the instance's dict, or its slots."""
    # The names of its own are dunder names, which no field may have.
    scope: dict[str, Any] = {"__missing__": _MISSING, "__set__": object.__setattr__}
    parameters, body = [], [] if slots else ["    __dict__ = __self__.__dict__"]

    def store(name: str, value: str) -> None:
        body.append(
            f"    __set__(__self__, {name!r}, {value})"
            if slots
            else f"    __dict__[{name!r}] = {value}"
        )

    for name, f in fields.items():
        factory, default = f"__factory_{name}__", f"__default_{name}__"
        scope[factory], scope[default] = f.factory, f.default
        if not f.init:
            if f.factory is not None:
                store(name, f"{factory}()")
            elif f.default is not _MISSING:
                store(name, default)
            continue
        if f.factory is not None:
            parameters.append(f"{name}=__missing__")
            store(name, f"{factory}() if {name} is __missing__ else {name}")
        else:
            parameters.append(name if f.default is _MISSING else f"{name}={default}")
            store(name, name)
    if hasattr(cls, "__post_init__"):
        body.append("    __self__.__post_init__()")
    lines = "\n".join(body or ["    pass"])
    source = f"def __init__(__self__, {', '.join(parameters)}):\n{lines}\n"
    exec(source, scope)
    made: Callable[..., None] = scope["__init__"]
    made.__qualname__ = f"{cls.__qualname__}.__init__"
    return made


def _repr(self: object) -> str:
    names = type(self).__record_fields__  # type: ignore[attr-defined]
    shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in names)
    return f"{type(self).__qualname__}({shown})"


def _eq(self: object, other: object) -> bool:
    if other.__class__ is not self.__class__:
        return NotImplemented  # type: ignore[no-any-return]
    return bool(values(self) == values(other))


def _hash(self: object) -> int:
    return hash(values(self))


def _frozen_setattr(self: object, name: str, value: object) -> None:
    raise FrozenError(f"cannot assign to field {name!r}")


def _frozen_delattr(self: object, name: str) -> None:
    raise FrozenError(f"cannot delete field {name!r}")
