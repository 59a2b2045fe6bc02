"""How lustreapi's compiled classes and functions present themselves to
help() and inspect: with the signatures their docstrings begin with, and
without the machinery of the binding (pybind11's base class of every
compiled class, the capsule every compiled function is bound to)."""
import functools


def public_class_type(compiled_type, compiled_base):
    """The metaclass of lustreapi's compiled classes. compiled_type is
    pybind11's metaclass, compiled_base the base it gives every class it
    makes. A class's __bases__ and __mro__ as Python code reads them leave
    compiled_base out, so that help() and inspect show the class with its
    own bases; attribute lookup, isinstance and super() go by the real order,
    which still holds it."""
    real_mro = type.__dict__["__mro__"].__get__
    real_bases = type.__dict__["__bases__"].__get__

    class PublicClass(compiled_type):
        @property
        def __mro__(cls):
            return tuple(c for c in real_mro(cls) if c is not compiled_base)

        @property
        def __bases__(cls):
            return tuple(c for c in real_bases(cls) if c is not compiled_base) or (object,)

    PublicClass.__module__ = "lustreapi"
    return PublicClass


def public_function(compiled):
    """compiled (a function of the extension) as a function of the package:
    same name, signature and docstring, called with the arguments it is
    given."""

    @functools.wraps(compiled)
    def function(*args, **kwargs):
        return compiled(*args, **kwargs)

    function.__module__ = "lustreapi"
    function.__qualname__ = compiled.__name__  # pybind11's reads "PyCapsule.<name>"
    return function
