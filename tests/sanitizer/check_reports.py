"""Judges the reports that the sanitizer runtimes wrote into a directory of log files.

Usage: check_reports.py LOG_DIR [--frame PATTERN ...]

Fails (exit status 1) on
- any error report of AddressSanitizer, UndefinedBehaviorSanitizer or ThreadSanitizer, and
- any leak report whose allocation stack has a frame of the module: a frame that contains one of
  the PATTERNs (by default the module's namespace, its entry point, its shared object and its
  source directories).

Leak reports whose stacks show no frame of the module are the interpreter's own (it does not free
everything at exit), or those of other programs that tests start with the runtime preloaded. They are counted and listed briefly, never judged. Python objects that the
module itself would leak are not native leaks at all; tests/test_leaks.py watches those through
reference counts and the interpreter's allocated-block count.
"""
import argparse
import os
import re
import sys

DEFAULT_FRAMES = ["quillmere::", "PyInit_quillmere", "/quillmere.cpython-", "/quillmere.abi3",
                  "/src/core/", "/src/python/"]
LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")
FRAME = re.compile(r"^\s+#\d+ ")
ERRORS = [
    re.compile(r"ERROR: AddressSanitizer"),
    re.compile(r"runtime error: "),
    re.compile(r"SUMMARY: UndefinedBehaviorSanitizer"),
    re.compile(r"WARNING: ThreadSanitizer"),
    re.compile(r"LeakSanitizer has encountered a fatal error"),
    re.compile(r"AddressSanitizer: CHECK failed"),
]


def leak_blocks(lines):
    """(header, frames) for every leak in one report."""
    i = 0
    while i < len(lines):
        if LEAK_HEADER.match(lines[i]):
            header, frames = lines[i], []
            i += 1
            while i < len(lines) and FRAME.match(lines[i]):
                frames.append(lines[i])
                i += 1
            yield header, frames
        else:
            i += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("log_dir")
    parser.add_argument("--frame", action="append", help="a text that marks a frame of the module")
    args = parser.parse_args()
    patterns = args.frame or DEFAULT_FRAMES

    module_leaks, other_leaks, errors, files = [], [], [], 0
    for name in sorted(os.listdir(args.log_dir)):
        path = os.path.join(args.log_dir, name)
        with open(path, errors="replace") as f:
            text = f.read()
        files += 1
        lines = text.splitlines()
        for pattern in ERRORS:
            if pattern.search(text):
                errors.append((path, text))
                break
        for header, frames in leak_blocks(lines):
            if any(p in frame for frame in frames for p in patterns):
                module_leaks.append((path, header, frames))
            else:
                other_leaks.append((header, frames[1:3]))

    for path, text in errors:
        print(f"--- sanitizer error report in {path}:\n{text}")
    for path, header, frames in module_leaks:
        print(f"--- leak in the module ({path}):\n{header}\n" + "\n".join(frames))
    interpreter_bytes = sum(int(LEAK_HEADER.match(h).group(2)) for h, _ in other_leaks)
    print(f"sanitizer logs: {files} files; {len(errors)} error reports; {len(module_leaks)} leaks in the module; "
          f"{len(other_leaks)} leaks elsewhere ignored ({interpreter_bytes} bytes; the interpreter, and the "
          f"programs that tests run, do not free everything at exit)")
    seen = {}
    for header, frames in other_leaks:
        key = " | ".join(re.sub(r"0x[0-9a-f]+", "", f).strip() for f in frames)
        seen[key] = seen.get(key, 0) + 1
    for key, count in sorted(seen.items(), key=lambda kv: -kv[1])[:8]:
        print(f"    {count:5d} x allocated via: {key}")
    return 1 if errors or module_leaks else 0


if __name__ == "__main__":
    sys.exit(main())
