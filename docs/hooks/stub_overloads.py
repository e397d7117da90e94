"""A griffe extension for the API reference: a function that a stub declares by its overloads
alone (a .pyi has no body to attach them to) becomes a member, with its overloads and the
docstring of the last one, as the module's own functions are shown."""

import griffe


class StubOverloads(griffe.Extension):
    def on_module_members(self, *, mod, **kwargs):
        for name, overloads in mod.overloads.items():
            if not overloads or name in mod.members:
                continue
            last = overloads[-1]
            function = griffe.Function(
                name, lineno=overloads[0].lineno, endlineno=last.endlineno,
                parameters=last.parameters, returns=last.returns, docstring=last.docstring)
            function.overloads = list(overloads)
            mod.set_member(name, function)
