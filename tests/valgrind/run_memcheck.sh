#!/usr/bin/env bash
# Runs Python tests of corvex under valgrind memcheck and reports the leaks
# and memory errors whose stacks pass through corvex.
#
#   tests/valgrind/run_memcheck.sh [BUILD_DIR] [PYTEST ARGS...]
#
# BUILD_DIR holds the built module (a RelWithDebInfo build gives readable
# stacks; default: build-memcheck, configured and built when missing). The
# pytest arguments default to a representative subset of the suite; tests
# that mostly build very large files, and would outlast their own watchdog
# under valgrind, are left out. The interpreter runs with PYTHONMALLOC=malloc
# so that every Python object is a malloc block valgrind can see. Child
# interpreters started by the tests run without valgrind.
#
# CPython and GLib keep some allocations until exit by design; the records
# that matter are those with a corvex frame in their stack (the module's
# shared object, or a function in the corvex or lumora namespaces), and the
# script sums those by kind. It exits non-zero when any of them is a
# definite or indirect leak or a memory error.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-memcheck}"
shift || true
if [ "$#" -eq 0 ]; then
    set -- tests/python/test_raw_reader.py tests/python/test_list_samples.py \
        tests/python/test_damaged_files.py tests/python/test_run_metadata.py \
        tests/python/test_spectrum.py tests/python/test_hostile_inputs.py \
        tests/python/test_resources.py tests/python/test_concurrency.py \
        -k "not huge_directory and not allowed_opens and not largest_offset and not one_gib"
fi

if ! ls "$build"/corvex*.so >/dev/null 2>&1; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j2
fi

# The interpreter itself, not a wrapper script (such as a pyenv shim).
python="$(python3 -c 'import sys; print(sys.executable)')"
logs="$(mktemp -d /tmp/corvex-memcheck.XXXXXX)"
echo "valgrind logs: $logs (one per process)"
cd "$root"
status=0
PYTHONMALLOC=malloc PYTHONPATH="$build" \
    timeout 7200 valgrind --tool=memcheck --leak-check=full \
        --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect \
        --num-callers=40 --suppressions="$here/python.supp" --log-file="$logs/%p.log" \
        "$python" -m pytest -v -rfE -p no:cacheprovider "$@" || status=$?
echo "pytest under valgrind exited with $status"

verdict=0
python3 - "$logs" <<'PY' || verdict=$?
import glob, os, re, sys
# Processes forked by the tests show up too; each log is read on its own.
texts = [open(path, errors="replace").read() for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.log")))]
main = max(texts, key=len) if texts else ""
text = "\n==0== \n".join(texts)
# Each record starts at a line "==pid== <summary>" and runs to a blank "==pid== " line.
blocks = re.split(r"\n==\d+== \n", text)
corvex = re.compile(r"corvex[^/\s]*\.so|corvex::|lumora::|/src/corvex/|/src/lumora/")
totals = {"definitely": 0, "indirectly": 0, "possibly": 0}
records = {k: 0 for k in totals}
errors = []
for block in blocks:
    head = re.search(r"==\d+== (.*)", block)
    if not head:
        continue
    line = head.group(1)
    leak = re.match(r"([\d,]+) (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ blocks are (definitely|indirectly|possibly) lost", line)
    if leak:
        if corvex.search(block):
            totals[leak.group(2)] += int(leak.group(1).replace(",", ""))
            records[leak.group(2)] += 1
            if leak.group(2) != "possibly":
                print(block, "\n")
    elif re.match(r"(Invalid|Conditional|Use of uninitialised|Syscall param|Mismatched|Source and destination)", line):
        if corvex.search(block):
            errors.append(block)
            print(block, "\n")
summary = re.findall(r"==\d+== (LEAK SUMMARY:.*?)(?:\n==\d+== \n|\Z)", main, re.S)
print("valgrind's own summary of the test process (everything, CPython and GLib included):")
print(re.sub(r"==\d+== ", "  ", summary[-1]) if summary else "  none")
print("attributable to corvex:")
for kind in totals:
    print("  %-11s lost: %d bytes in %d records" % (kind, totals[kind], records[kind]))
print("  memory errors: %d" % len(errors))
sys.exit(1 if errors or totals["definitely"] or totals["indirectly"] else 0)
PY
# Failing tests under valgrind fail the run as well.
[ "$status" -eq 0 ] && [ "$verdict" -eq 0 ]
