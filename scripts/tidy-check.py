#!/usr/bin/env python3
"""Runs clang-tidy (the checks of .clang-tidy) over every C/C++ file of the tree that a build
compiles, as its compile_commands.json says; exit 1 and the findings when there are any.
  scripts/tidy-check.py [BUILD_DIR] [--jobs N]      (default build/, 2 jobs)
A file found clean is not checked again until it, a project header it includes (ninja's
dependency record), its compile command, .clang-tidy or clang-tidy changes: the keys of clean
files are kept in BUILD_DIR/tidy-clean.txt. The includes are those of the last build; a file
the build has not compiled yet has no record, so it is checked every time."""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def find_tidy():
    for name in ("clang-tidy-14", "clang-tidy"):
        if shutil.which(name):
            return name
    sys.exit("tidy-check: clang-tidy not found (scripts/setup.sh installs it)")


def ninja_deps(build):
    """Object file -> the files it was compiled from, as ninja recorded them."""
    try:
        out = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    deps, current = {}, None
    for line in out.splitlines():
        if line and not line.startswith(" "):
            current = line.split(":", 1)[0]
            deps[current] = []
        elif line.strip() and current is not None:
            deps[current].append(line.strip())
    return deps


def object_of(command):
    words = shlex.split(command)
    return words[words.index("-o") + 1] if "-o" in words else None


def key_of(entry, deps, salt, build):
    """A hash of everything of ours the file's check reads, or None when that is unknown."""
    headers = deps.get(object_of(entry["command"]) or "")
    if not headers:
        return None
    h = hashlib.sha256(salt)
    h.update(entry["command"].encode())
    for dep in headers:
        path = os.path.normpath(os.path.join(build, dep))
        if not path.startswith(root + os.sep):
            continue  # system and library headers change only with packages
        h.update(path.encode())
        try:
            with open(path, "rb") as f:
                h.update(f.read())
        except OSError:
            return None
    return h.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(root, "build"))
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tidy = find_tidy()
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if e["file"].startswith(root + os.sep)
                   and not e["file"].startswith(build + os.sep)]
    version = subprocess.run([tidy, "--version"], capture_output=True, text=True).stdout
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        salt = version.encode() + f.read()
    deps = ninja_deps(build)
    cache_path = os.path.join(build, "tidy-clean.txt")
    try:
        with open(cache_path) as f:
            clean = set(f.read().split())
    except OSError:
        clean = set()

    keyed = [(e["file"], key_of(e, deps, salt, build)) for e in entries]
    stale = [(file, key) for file, key in keyed if key is None or key not in clean]

    def check(item):
        file, key = item
        run = subprocess.run([tidy, "-p", build, "--quiet", file], capture_output=True, text=True)
        findings = [l for l in run.stdout.splitlines() if ": warning: " in l or ": error: " in l]
        # Its count of warnings it left out (other people's headers) says nothing.
        noise = [l for l in run.stderr.splitlines() if not re.fullmatch(r"\d+ warnings? generated\.", l)]
        return file, key, run.returncode == 0 and not findings, run.stdout + "".join(l + "\n" for l in noise)

    failed = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for file, key, ok, output in pool.map(check, stale):
            if ok:
                if key:
                    clean.add(key)
            else:
                failed.append(os.path.relpath(file, root))
                sys.stdout.write(output)
    kept = {key for _, key in keyed if key in clean}
    with open(cache_path, "w") as f:
        f.write("\n".join(sorted(kept)) + "\n")
    if failed:
        print(f"tidy-check: findings in {len(failed)} of {len(entries)} files:", file=sys.stderr)
        for file in sorted(failed):
            print(f"  {file}", file=sys.stderr)
        return 1
    print(f"tidy-check: {len(entries)} files clean ({len(stale)} checked now, the rest unchanged since their last check)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
