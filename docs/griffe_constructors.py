"""A griffe extension for the API reference: shows a constructor that a class
defines as __new__ (as a C type does) the way one defined as __init__ is
shown, as the signature and parameters of the class itself."""

import griffe


class ConstructorsFromNew(griffe.Extension):
    def on_class_members(self, *, cls, **kwargs):
        new = cls.members.get("__new__")
        if new is None or "__init__" in cls.members or not new.is_function:
            return
        init = griffe.Function(
            "__init__",
            lineno=new.lineno,
            endlineno=new.endlineno,
            parameters=new.parameters,
            returns=None,
            docstring=new.docstring,
        )
        cls.del_member("__new__")
        cls.set_member("__init__", init)
