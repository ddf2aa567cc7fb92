"""The README's Python program, run as the README shows it, session and all."""

import os
import re
import shlex
import subprocess
import sys

from conftest import ROOT


def python_section():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    start = text.index("\n### In Python\n")
    return text[start:re.compile(r"\n##+ ").search(text, start + 1).start()]


def test_the_readme_program_prints_the_session_it_shows(tmp_path):
    section = python_section()
    program = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    session = re.search(r"```console\n(.*?)```", section, re.S).group(1)
    (tmp_path / "members.py").write_text(program, encoding="utf-8")
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    environment = {**os.environ, "PYTHONUNBUFFERED": "1", "PYTHONIOENCODING": "utf-8"}
    commands = re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", session, re.M)
    assert len(commands) == 3
    for command, shown in commands:
        done = subprocess.run(["bash", "-c", command.replace("ENV/bin/python",
                                                             shlex.quote(sys.executable))],
                              cwd=tmp_path, env=environment, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, encoding="utf-8")
        assert done.stdout == shown, command
