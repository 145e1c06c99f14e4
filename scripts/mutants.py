#!/usr/bin/env python3
"""A seeded mutation run: how many single-line faults do the tests catch?

    scripts/mutants.py [--count 300] [--seed 1] [--timeout 120] [--jobs 2]
                       [--first K] [--limit N] [--list] [--paths PREFIX ...]
                       [--cpp-only] [--rerun-killed RESULTS]
                       [--keep-libraries] [--libraries-from FOLDER]

The library's sources (src/**/*.cpp, src/**/*.h) and the Python package
(python/powerquality/*.py) are scanned for lines a single textual change can
break: an operator swapped (+ -, * /, < <=, > >=, == !=, && ||, and/or), a
constant moved by one, a boolean flipped, a `not` dropped, a return value
replaced. Every such change is one candidate; the candidates are listed in a
fixed order and `--count` of them are drawn with `random.Random(seed)`, so
the same tree and seed give the same mutants.

Each mutant is applied to a copy of the tracked files in build-mutants/tree
(the checkout itself is never edited), built there incrementally, and run
against the fast tests with a time limit: the GoogleTest binary for a C++
mutant (stopping at the first failure; a mutant it leaves alive then meets
the ctest entries that rerun the kernels' tests with their baseline copies,
which the binary alone runs only to compare them on a processor with AVX2,
and the windowed kernels' pinned digests),
pytest for a Python one (stopping at
the first failure, leaving out the tests marked slow: the cluster, the
browser, the hour-long recording). The Python tests reach the C++ code too,
through the extension, but they are not run for a C++ mutant: they take ten
times as long as the GoogleTest binary, and the score is that of the C++
tests over the C++ code and of the Python tests over the Python code.

A mutant is killed when a test fails, survives when every test passes, and
is stillborn when it does not compile (not counted). A run over the time
limit is a timeout: the score, killed / (killed + timeouts + survived),
counts it as a survivor, and the score with timeouts caught is printed
beside it; --rerun-killed runs timeouts again. (On a loaded machine the
unmutated tests can outlast the limit: a mutant that hangs is caught, one
that only met a busy machine is not.) Survivors and timeouts are written to
build-mutants/survivors.txt, one per line, for a reader to judge: some are
equivalent (no test could tell them apart); every verdict is written to
build-mutants/results-SEED.txt.

--rerun-killed RESULTS runs again only the mutants that an earlier run of the
same draw killed (RESULTS is its results file), and counts its survivors and
stillborn as they were: after a change to the tests alone, the score it prints
is a lower bound of the new tests' score (a survivor of the old tests may be
caught by the new ones, but is not run again to see). --keep-libraries keeps
the library each mutant of a .cpp file built (5 MB each), and a later run
given --libraries-from that folder loads it into its own GoogleTest binary
instead of building it again: the C++ side of such a run costs the tests'
time alone.

--list prints the drawn mutants without running them; --first/--limit run a
slice of the drawn set (for a quick look; the score of a slice is not the
score of the set). --paths keeps only the candidates in files under the given
path prefixes (e.g. --paths src/period src/events), before the draw, so a
prefix list and a seed name one set. --cpp-only leaves the Python
candidates out of the draw and the Python extension out of the build. A C++
mutant costs one file's rebuild, the library's link and one run of the
binary.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build-mutants")
TREE = os.path.join(WORK, "tree")
BUILD = os.path.join(WORK, "build")

# (name, pattern, replacement); a pattern applies at each of its matches in
# the code part of a line, each match one candidate.
CPP_OPERATORS = [
    ("plus-minus", r"(?<=[\w)\]] )\+(?= [\w(])", "-"),
    ("minus-plus", r"(?<=[\w)\]] )-(?= [\w(])", "+"),
    ("times-div", r"(?<=[\w)\]] )\*(?= [\w(])", "/"),
    ("div-times", r"(?<=[\w)\]] )/(?= [\w(])", "*"),
    ("lt-le", r" < ", " <= "),
    ("le-lt", r" <= ", " < "),
    ("gt-ge", r" > ", " >= "),
    ("ge-gt", r" >= ", " > "),
    ("eq-ne", r" == ", " != "),
    ("ne-eq", r" != ", " == "),
    ("and-or", r" && ", " || "),
    ("or-and", r" \|\| ", " && "),
    ("true-false", r"\btrue\b", "false"),
    ("false-true", r"\bfalse\b", "true"),
    ("inc-dec", r"\+\+", "--"),
    ("const-up", r"(?<![\w.])([0-9]+)(?![\w.])", None),
    ("not-drop", r"!(?=[\w(])", ""),
]
PY_OPERATORS = [
    ("plus-minus", r"(?<=[\w)\]] )\+(?= [\w(])", "-"),
    ("minus-plus", r"(?<=[\w)\]] )-(?= [\w(])", "+"),
    ("times-div", r"(?<=[\w)\]] )\*(?= [\w(])", "/"),
    ("lt-le", r" < ", " <= "),
    ("le-lt", r" <= ", " < "),
    ("gt-ge", r" > ", " >= "),
    ("ge-gt", r" >= ", " > "),
    ("eq-ne", r" == ", " != "),
    ("ne-eq", r" != ", " == "),
    ("and-or", r" and ", " or "),
    ("or-and", r" or ", " and "),
    ("true-false", r"\bTrue\b", "False"),
    ("false-true", r"\bFalse\b", "True"),
    ("not-drop", r"\bnot ", ""),
    ("const-up", r"(?<![\w.])([0-9]+)(?![\w.])", None),
]

CPP_SKIP = re.compile(r"^\s*(#|static_assert|//|\*|/\*|namespace\b|using\b|template\b|public:|private:|protected:)")
PY_SKIP = re.compile(r"^\s*(#|import\b|from\b.*\bimport\b|def\b|class\b|@|raise\b|print\()")


def code_part(line, comment):
    """The line without a trailing comment (C++ "//", Python "#") and with
    string and character literals blanked (so operators inside them are not
    mutated)."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith(comment, i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def source_files(paths=None, cpp_only=False):
    files = subprocess.run(["git", "ls-files", "src", "python/powerquality"], cwd=ROOT,
                           capture_output=True, text=True, check=True).stdout.split()
    kinds = (".cpp", ".h") if cpp_only else (".cpp", ".h", ".py")
    return sorted(f for f in files if f.endswith(kinds)
                  and (not paths or any(f.startswith(p.rstrip("/") + "/") or f == p for p in paths)))


def candidates(path):
    """Every (path, line number, name, new line) of one file."""
    python = path.endswith(".py")
    operators = PY_OPERATORS if python else CPP_OPERATORS
    skip = PY_SKIP if python else CPP_SKIP
    comment = "#" if python else "//"
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        lines = f.read().split("\n")
    found = []
    in_block = False  # a C comment block or a Python docstring
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if python:
            quotes = line.count('"""') + line.count("'''")
            if in_block or quotes:
                if quotes % 2 == 1:
                    in_block = not in_block
                continue
        else:
            if in_block:
                if "*/" in line:
                    in_block = False
                continue
            if stripped.startswith("/*"):
                in_block = "*/" not in stripped
                continue
        if not stripped or skip.match(line):
            continue
        code = code_part(line, comment)
        for name, pattern, replacement in operators:
            for match in re.finditer(pattern, code):
                if name == "const-up":
                    new_text = str(int(match.group(1)) + 1)
                else:
                    new_text = replacement
                new_line = line[:match.start()] + new_text + line[match.end():]
                found.append((path, number, name, new_line))
    return found


def draw(count, seed, paths=None, cpp_only=False):
    every = []
    for path in source_files(paths, cpp_only):
        every.extend(candidates(path))
    rng = random.Random(seed)
    chosen = rng.sample(every, min(count, len(every)))
    chosen.sort(key=lambda c: (c[0], c[1], c[2], c[3]))
    return every, chosen


def verdict(status):
    """A failing test kills a mutant; a test run over its time limit is told
    apart: on a loaded machine the unmutated tests can take that long too."""
    return "timeout" if status == "timeout" else "killed" if status != 0 else "survived"


def run(cmd, timeout, env=None):
    try:
        done = subprocess.run(cmd, cwd=TREE, capture_output=True, text=True, timeout=timeout, env=env)
        return done.returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def prepare(jobs, cpp_only=False):
    """A copy of the tracked files and a built tree beside it."""
    files = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True,
                           check=True).stdout.split("\n")
    for name in filter(None, files):
        source, target = os.path.join(ROOT, name), os.path.join(TREE, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.isfile(source) and (not os.path.exists(target) or
                                       open(source, "rb").read() != open(target, "rb").read()):
            # A fresh time stamp: a file left mutated by an interrupted run
            # is older than what was built from it, and must be rebuilt.
            shutil.copy(source, target)
    # The recordings beside the checkout are found from the copy too.
    shared = os.path.join(os.path.dirname(ROOT), "shared")
    link = os.path.join(WORK, "shared")
    if os.path.isdir(shared) and not os.path.exists(link):
        os.symlink(shared, link)
    subprocess.run(["cmake", "-S", TREE, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DPOWERQUALITY_BUILD_TESTS=ON", "-DPOWERQUALITY_BUILD_BENCHMARKS=OFF",
                    "-DPOWERQUALITY_BUILD_EXAMPLES=OFF", "-DPOWERQUALITY_TEST_TIMEOUT=60",
                    # A mutant in a library source rebuilds the library, not
                    # the programs linked against it.
                    "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON",
                    "-DPOWERQUALITY_BUILD_PYTHON=%s" % ("OFF" if cpp_only else "ON")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(build_command(jobs, cpp_only), check=True, stdout=subprocess.DEVNULL)


def build_command(jobs, cpp_only):
    command = ["cmake", "--build", BUILD, "-j%d" % jobs]
    return command + ["--target", "powerquality_tests", "powerquality_windowed_kernels_digest"] if cpp_only \
        else command


def python_tests_available():
    return any(n.startswith("_core") for n in os.listdir(os.path.join(BUILD, "python", "powerquality"))) \
        if os.path.isdir(os.path.join(BUILD, "python", "powerquality")) else False


def library_of(index, folder):
    return os.path.join(folder, str(index), "libpowerquality.so.0")


def try_mutant(mutant, jobs, timeout, cpp_only=False, index=None, keep=None, kept=None):
    path, number, _, new_line = mutant
    tests = os.path.join(BUILD, "tests", "powerquality_tests")
    if kept and path.endswith(".cpp") and os.path.exists(library_of(index, kept)):
        # The library this mutant built in an earlier run, under the tests of
        # this tree: nothing to build (a source file's mutant changes no
        # header, so the test binary is the same).
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(library_of(index, kept)))
        return cpp_verdict(tests, timeout, env)
    target = os.path.join(TREE, path)
    with open(target, encoding="utf-8") as f:
        original = f.read()
    lines = original.split("\n")
    lines[number - 1] = new_line
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python"))
    python = path.endswith(".py")
    try:
        if run(build_command(jobs, cpp_only or not python), 600) != 0:
            return "stillborn"
        if not python:
            if keep and path.endswith(".cpp"):
                os.makedirs(os.path.dirname(library_of(index, keep)), exist_ok=True)
                shutil.copy(os.path.realpath(os.path.join(BUILD, "libpowerquality.so.0")), library_of(index, keep))
            return cpp_verdict(tests, timeout)
        if python_tests_available():
            return verdict(run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-m", "not slow",
                                os.path.join(TREE, "python", "tests")], timeout, env))
        return "survived"
    finally:
        with open(target, "w", encoding="utf-8") as f:
            f.write(original)
        # Put the built tree back to the original before the next mutant.
        os.utime(target)


def cpp_verdict(tests, timeout, env=None):
    """The GoogleTest binary; for a mutant it leaves alive, the ctest entries
    that run the kernels' tests again with their baseline copies (on a
    processor with AVX2 the binary runs those copies only to compare them)
    and the windowed kernels' pinned digests (a program of their own)."""
    first = verdict(run([tests, "--gtest_fail_fast"], timeout, env))
    if first != "survived":
        return first
    return verdict(run(["ctest", "--test-dir", BUILD, "-R", r"_baseline_kernels$|^WindowedKernels\.",
                        "--stop-on-failure", "--timeout", str(timeout)], timeout, env))


def mutant_name(mutant):
    path, number, name, _ = mutant
    return "%s:%d %s" % (path, number, name)


def read_results(path):
    """{index: (verdict, mutant name)} of an earlier run's results file."""
    found = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            index, verdict, name = line.rstrip("\n").split(" ", 2)
            found[int(index)] = (verdict, name)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=int, default=120, help="seconds per test run")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--first", type=int, default=0, help="index of the first drawn mutant to run")
    parser.add_argument("--limit", type=int, default=None, help="how many drawn mutants to run")
    parser.add_argument("--list", action="store_true", help="print the drawn mutants and stop")
    parser.add_argument("--paths", nargs="+", default=None, help="draw only from files under these prefixes")
    parser.add_argument("--cpp-only", action="store_true", help="C++ candidates and the GoogleTest binary only")
    parser.add_argument("--rerun-killed", metavar="RESULTS",
                        help="run again only the mutants an earlier run's results file (same draw) says were killed; "
                             "its survivors and stillborn count as they were")
    parser.add_argument("--keep-libraries", action="store_true",
                        help="keep the library each mutant of a .cpp file builds, in build-mutants/libraries/INDEX/")
    parser.add_argument("--libraries-from", metavar="FOLDER",
                        help="run a .cpp file's mutant against the library an earlier run kept in FOLDER/INDEX/ "
                             "instead of building it (same draw; for a run after a change to the tests alone)")
    args = parser.parse_args()

    every, chosen = draw(args.count, args.seed, args.paths, args.cpp_only)
    indices = list(range(len(chosen)))[args.first:None if args.limit is None else args.first + args.limit]
    earlier = read_results(args.rerun_killed) if args.rerun_killed else {}
    if args.rerun_killed:
        for i in indices:
            if i not in earlier or earlier[i][1] != mutant_name(chosen[i]):
                sys.exit("%s does not hold mutant %d of this draw (%s): another tree, seed or count"
                         % (args.rerun_killed, i, mutant_name(chosen[i])))
    selected = {i for i in indices if earlier.get(i, ("killed",))[0] in ("killed", "timeout")}
    print("%d candidates, %d drawn (seed %d), running %d" % (len(every), len(chosen), args.seed, len(selected)))
    if args.list:
        for i, (path, number, name, new_line) in enumerate(chosen):
            print("%3d %s:%d %s: %s" % (i, path, number, name, new_line.strip()))
        return 0

    os.makedirs(WORK, exist_ok=True)
    prepare(args.jobs, args.cpp_only)
    counts = {"killed": 0, "timeout": 0, "survived": 0, "stillborn": 0}
    survivors, results = [], []
    started = time.time()
    for i in indices:
        mutant = chosen[i]
        if i in selected:
            verdict = try_mutant(mutant, args.jobs, args.timeout, args.cpp_only, i,
                                 os.path.join(WORK, "libraries") if args.keep_libraries else None,
                                 os.path.abspath(args.libraries_from) if args.libraries_from else None)
            print("%3d %-9s %s" % (i, verdict, mutant_name(mutant)), flush=True)
        else:
            verdict = earlier[i][0]  # a survivor or stillborn of the earlier run, not run again
        counts[verdict] += 1
        results.append("%d %s %s" % (i, verdict, mutant_name(mutant)))
        if verdict in ("survived", "timeout"):
            survivors.append("%s%s: %s" % (mutant_name(mutant), " (timeout)" if verdict == "timeout" else "",
                                           mutant[3].strip()))
    with open(os.path.join(WORK, "results-%d.txt" % args.seed), "w", encoding="utf-8") as f:
        f.write("\n".join(results) + "\n")
    # Leave the built tree matching the sources.
    run(build_command(args.jobs, args.cpp_only), 600)
    with open(os.path.join(WORK, "survivors.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(survivors) + ("\n" if survivors else ""))
    judged = counts["killed"] + counts["timeout"] + counts["survived"]
    score = 100.0 * counts["killed"] / judged if judged else 0.0
    print("mutation score: %d killed of %d (%.1f %%), %d stillborn, %.0f s"
          % (counts["killed"], judged, score, counts["stillborn"], time.time() - started))
    if counts["timeout"]:
        print("%d over the time limit (%.1f %% with them caught): run them again on a quieter machine, "
              "--rerun-killed takes them" % (counts["timeout"], 100.0 * (counts["killed"] + counts["timeout"]) / judged))
    return 0


if __name__ == "__main__":
    sys.exit(main())
