"""Typed signatures for the compiled module's API pages.

The extension module's functions carry text signatures (names and defaults, no types); the
stub package beside it holds the types. This extension gives autodoc the stub's signature for
each function of ``kelpmoor``, so the reference shows what type checkers see. The stub's
private aliases (``_FloatLike``, ``_Metadata``, ...) exist only for checkers, so they are
written out as what they stand for.
"""
import ast
import re
from pathlib import Path

STUB = Path(__file__).resolve().parents[2] / "kelpmoor-stubs" / "__init__.pyi"


def _stub_signatures(stub: Path) -> dict[str, tuple[str, str]]:
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    aliases = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            aliases[node.target.id] = ast.unparse(node.value)
        elif isinstance(node, ast.ClassDef) and node.name.startswith("_"):
            aliases[node.name] = "dict"
    signatures = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = ast.unparse(node.args)
            returns = ast.unparse(node.returns) if node.returns else ""
            # Aliases may name one another (_Cut = _SecondsCut | _BlocksCut): expand until none
            # is left.
            while any(re.search(rf"\b{name}\b", f"{args} {returns}") for name in aliases):
                for name, meaning in aliases.items():
                    args, returns = _replace(args, name, meaning), _replace(returns, name, meaning)
            args = re.sub(r"\bdict( \| dict)+\b", "dict", args)
            signatures[node.name] = (f"({args})", returns)
    return signatures


def _replace(text: str, name: str, meaning: str) -> str:
    return re.sub(rf"\b{re.escape(name)}\b", meaning, text)


def setup(app):
    signatures = _stub_signatures(STUB) if STUB.exists() else {}

    def typed(app, what, name, obj, options, signature, return_annotation):
        module, _, function = name.rpartition(".")
        if module == "kelpmoor" and function in signatures:
            return signatures[function]
        return None

    # Ahead of numpydoc (priority 500), whose own handler would otherwise answer first.
    app.connect("autodoc-process-signature", typed, priority=400)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
