# The docstrings' and pages' examples run as shown: ```c/```cpp blocks are the examples/ file its `<!-- example: -->`
# line names, then an ```output block; ```pycon doctests, a namespace per page; ```console `$ ` commands and output.
import doctest
import io
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

import powerquality
import powerquality.analysis
import powerquality.en50160
import powerquality.fleet
import powerquality.signals

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SHARED = os.path.join(os.path.dirname(ROOT), "shared")
PAGES = ["README.md"] + sorted(os.path.join("docs", name) for name in os.listdir(os.path.join(ROOT, "docs"))
                               if name.endswith(".md"))
FENCE = re.compile(r"^```([\w+-]*)\n(.*?)^```[ \t]*$", re.M | re.S)
MARK = re.compile(r"<!-- example: (examples/[\w.-]+) -->\s*$")
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def read(path):
    return pathlib.Path(ROOT, path).read_text(encoding="utf-8")


def blocks(page):
    """(language, text, line, text before it since the previous block) of every fenced block of a page."""
    text = read(page)
    ends = [0] + [m.end() for m in FENCE.finditer(text)]
    return [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1, text[end:m.start()])
            for m, end in zip(FENCE.finditer(text), ends)]


@pytest.fixture
def beside_shared(tmp_path, monkeypatch):
    if not os.path.isdir(os.path.join(SHARED, "data", "comtrade")):
        pytest.skip(f"the shared recordings ({SHARED}) are not beside the checkout")
    os.symlink(SHARED, tmp_path / "shared")
    (work := tmp_path / "work").mkdir()
    monkeypatch.chdir(work)
    return work


def test_examples_in_the_docstrings_run():
    for module in (powerquality, powerquality.analysis, powerquality.en50160, powerquality.fleet,
                   powerquality.signals):
        result = doctest.testmod(module)
        assert result.attempted > 0 and result.failed == 0, module.__name__


def test_every_program_in_the_docs_is_an_example_file_built_by_the_tests_and_prints_what_the_docs_show():
    built = re.search(r"set\(POWERQUALITY_DOC_EXAMPLES\s+([^)]*)\)", read("examples/CMakeLists.txt")).group(1).split()
    programs = []  # (page, line, example path, its output block or None) of every C and C++ block
    for page in PAGES:
        found = blocks(page) + [(None,) * 4]
        programs += [(page, line, (MARK.search(before) or [None, None])[1], text,
                      following[1] if following[0] == "output" else None)
                     for (language, text, line, before), following in zip(found, found[1:]) if language in ("c", "cpp")]
    assert len(programs) >= 6
    for page, line, path, text, output in programs:
        where = f"{page}:{line}"
        assert path, f"{where}: a program block needs an <!-- example: examples/NAME --> line above it"
        assert read(path) == text, f"{where} differs from {path}"
        assert os.path.basename(path) in built, f"{path} ({where}) is not in examples/CMakeLists.txt"
        assert output is not None, f"{where}: an ```output block with what it prints follows every program"
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(powerquality.__file__))))
    for page, line, path, _, output in programs:
        binary = os.path.join(build, "examples", os.path.splitext(os.path.basename(path))[0])
        if not os.path.exists(binary):
            pytest.skip(f"{binary} is not built (the package is not the build tree's, or examples are off)")
        run = subprocess.run([binary], capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, f"{path}: {run.stderr}"
        assert run.stdout == output, f"{page}:{line}: {path} prints\n{run.stdout}"


def test_python_examples_in_the_docs_run(beside_shared):
    parser, attempted = doctest.DocTestParser(), 0
    for page in PAGES:
        names = {"__name__": "__docs__"}
        for language, text, line, _ in blocks(page):
            assert language != "python", f"{page}:{line}: write Python examples as ```pycon doctests"
            if language != "pycon":
                continue
            test = parser.get_doctest(text, names, page, os.path.join(ROOT, page), line)
            report = io.StringIO()
            result = doctest.DocTestRunner(optionflags=FLAGS).run(test, out=report.write, clear_globs=False)
            assert result.attempted > 0 and result.failed == 0, report.getvalue()
            attempted += result.attempted
            names = test.globs  # the next block goes on from this one (a DocTest works on a copy)
    assert attempted >= 10


@pytest.mark.slow
def test_command_line_examples_in_the_docs_run(beside_shared):
    checker, commands = doctest.OutputChecker(), 0
    for page in PAGES:
        for language, text, line, _ in blocks(page):
            if language != "console":
                continue
            for command, expected in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", text + "\n", re.M):
                words = shlex.split(command)
                assert words[:3] in (["python3", "-m", "powerquality"], ["/usr/bin/python3", "-m", "powerquality"]), \
                    f"{page}:{line}: console blocks hold powerquality commands only, not {command}"
                run = subprocess.run([sys.executable] + words[1:], capture_output=True, text=True, timeout=600)
                assert run.returncode == 0, f"{page}:{line}: {command}\n{run.stderr}"
                assert checker.check_output(expected.rstrip("\n") + "\n", run.stdout, FLAGS), \
                    f"{page}:{line}: {command} printed\n{run.stdout}"
                commands += 1
    assert commands >= 2


def test_links_between_the_pages_lead_somewhere():
    def anchors(page):
        return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
                for h in re.findall(r"^#+ (.*)$", FENCE.sub("", read(page)), re.M)}

    for page in PAGES:
        for target in re.findall(r"\]\(([^)\s]+)\)", read(page)):
            if re.match(r"\w+://", target):
                continue
            path, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            assert os.path.exists(os.path.join(ROOT, path)), f"{page}: no {target}"
            if anchor:
                assert anchor in anchors(path), f"{page}: no heading for {target}"
