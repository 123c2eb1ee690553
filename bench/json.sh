#!/bin/bash
# Measures the JSON parser and writer on a photo list answer of about 10 MB
# and compares them with Python's json module on exactly the same bytes, in
# the same run.
# Usage: bench/json.sh [BUILD_DIR] [REPETITIONS]   (default: build-bench, 7)
#
# Both sides are measured in CPU time of the process (other load on the
# machine matters less) and reported as the median of the repetitions.
# A parse takes the UTF-8 bytes and builds the whole tree; releasing the tree
# is included on both sides. Python's json.loads gets the bytes as they are
# (it decodes them itself, as our parser validates them). A write produces
# compact UTF-8 text from the tree. Everything is measured twice: with glibc's
# default heap policy and with the one KeepReleasedMemory sets, each time the
# same for both processes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-bench"}
repetitions=${2:-7}
python=/usr/bin/python3

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
log=$(mktemp)
if ! ninja -C "$build" -j2 bench_json json_tool >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/json_tool" "$work/photos.json"

# One measurement of both sides; $1 names the heap setting.
measure() {
  VELMORA_JSON_DOCUMENT="$work/photos.json" "$build/bench/bench_json" \
    --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=false \
    --benchmark_out="$work/ours.json" --benchmark_out_format=json >"$work/bench.log" 2>&1 ||
    { cat "$work/bench.log" >&2; return 1; }
  "$python" - "$work/photos.json" "$work/ours.json" "$repetitions" "$1" <<'PY'
import json, statistics, sys, time

with open(sys.argv[1], "rb") as f:
    raw = f.read()
repetitions = int(sys.argv[3])

def median_seconds(action, rounds):
    times = []
    for _ in range(rounds):
        start = time.process_time()
        action()  # the result is released before the clock is read again
        times.append(time.process_time() - start)
    return statistics.median(times)

tree = json.loads(raw)
def write():
    return json.dumps(tree, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
written = write()
text = raw.decode("utf-8")
rounds = max(repetitions, 5) * 2
py_parse = median_seconds(lambda: json.loads(raw), rounds)
py_parse_str = median_seconds(lambda: json.loads(text), rounds)
py_write = median_seconds(write, rounds)

with open(sys.argv[2]) as f:
    runs = [b for b in json.load(f)["benchmarks"] if b.get("run_type") == "iteration"]
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
def our_seconds(name):
    return statistics.median(b["cpu_time"] * scale[b["time_unit"]] for b in runs
                             if b["name"].split("/")[0] == name)
def our_bytes(name):
    b = next(b for b in runs if b["name"].split("/")[0] == name)
    return b["bytes_per_second"] * b["cpu_time"] * scale[b["time_unit"]]

our_parse = our_seconds("BM_ParsePhotoList")
our_write = our_seconds("BM_WritePhotoList")
our_written = our_bytes("BM_WritePhotoList")
mb = 1e6
print(f"heap: {sys.argv[4]}")
print(f"document: {len(raw)} bytes, {len(tree)} photo objects; median of {repetitions} (ours), "
      f"{rounds} (python) runs")
print(f"{'':8}{'ours ms':>10}{'ours MB/s':>11}{'python ms':>11}{'python MB/s':>13}{'ours/python':>13}")
print(f"{'parse':8}{our_parse*1e3:10.1f}{len(raw)/our_parse/mb:11.0f}{py_parse*1e3:11.1f}"
      f"{len(raw)/py_parse/mb:13.0f}{py_parse/our_parse:12.2f}x")
print(f"{'write':8}{our_write*1e3:10.1f}{our_written/our_write/mb:11.0f}"
      f"{py_write*1e3:11.1f}{len(written)/py_write/mb:13.0f}{py_write/our_write:12.2f}x")
print(f"(CPU time per document; ours/python = Python's time divided by ours; parse includes building")
print(f" and releasing the tree. Python parsing an already decoded str instead: {py_parse_str*1e3:.1f} ms,")
print(f" {py_parse_str/our_parse:.2f}x. Written: ours {our_written:.0f} bytes, python {len(written)} bytes.)")
PY
}

# glibc's default heap policy on both sides.
(unset GLIBC_TUNABLES; export VELMORA_JSON_DEFAULT_HEAP=1; measure "glibc defaults")
echo
# The heap setting of KeepReleasedMemory(64 MiB), for Python as for us.
(export GLIBC_TUNABLES=glibc.malloc.trim_threshold=67108864:glibc.malloc.mmap_threshold=33554432
 unset VELMORA_JSON_DEFAULT_HEAP; measure "released memory kept (KeepReleasedMemory, 64 MiB)")
