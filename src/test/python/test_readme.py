"""The usage example in README.md runs and shows what the module returns."""
import ast
import builtins
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def usage_block():
    text = README.read_text()
    section = text.split("## Usage", 1)[1].split("\n## ", 1)[0]
    lines = [line[4:] for line in section.splitlines() if line.startswith("    ")]
    assert lines, "no indented example in the Usage section"
    return lines


def test_readme_usage_example():
    namespace = {}
    checked = 0
    for line in usage_block():
        code, _, comment = line.partition("  # ")
        comment = comment.strip()
        raised = re.match(r"(\w+Error): (.*)", comment)
        if raised:
            with pytest.raises(getattr(builtins, raised.group(1))) as info:
                exec(code, namespace)
            assert str(info.value) == raised.group(2)
            checked += 1
        elif comment.startswith("b'"):
            assert eval(code, namespace) == ast.literal_eval(comment)
            checked += 1
        else:
            exec(code, namespace)
            literal = re.search(r"(b'[^']*')", comment)
            if literal and code.lstrip().startswith("raw ="):
                assert namespace["raw"] == ast.literal_eval(literal.group(1))
                checked += 1
    assert checked >= 4
