#!/bin/bash
# Measures the JSON parser and writer on a photo list answer of about 10 MB
# and compares them with Python's json module on exactly the same bytes.
# Usage: bench/json.sh [BUILD_DIR]   (default: build-bench, Release)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-bench"}
python=/usr/bin/python3

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_json json_tool >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/json_tool" "$work/photos.json"

"$build/bench/bench_json" --benchmark_out="$work/ours.json" --benchmark_out_format=json

"$python" - "$work/photos.json" "$work/ours.json" <<'PY'
import json, sys, time

with open(sys.argv[1], "rb") as f:
    raw = f.read()
text = raw.decode("utf-8")

# CPU time on both sides, so that other load on the machine matters less.
def best_seconds(action, rounds=7):
    best = float("inf")
    for _ in range(rounds):
        start = time.process_time()
        action()
        best = min(best, time.process_time() - start)
    return best

tree = json.loads(text)
written = json.dumps(tree, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
py_parse = best_seconds(lambda: json.loads(text))
py_write = best_seconds(lambda: json.dumps(tree, ensure_ascii=False, separators=(",", ":")).encode("utf-8"))

with open(sys.argv[2]) as f:
    ours = {b["name"].split("/")[0]: b for b in json.load(f)["benchmarks"]}
def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b["cpu_time"] * scale

our_parse = seconds(ours["BM_ParsePhotoList"])
our_write = seconds(ours["BM_WritePhotoList"])
mb = 1e6
print()
print(f"document: {len(raw)} bytes, {len(tree)} photo objects")
print(f"{'':8}{'ours ms':>10}{'ours MB/s':>11}{'python ms':>11}{'python MB/s':>13}{'ours/python':>13}")
print(f"{'parse':8}{our_parse*1e3:10.1f}{len(raw)/our_parse/mb:11.0f}{py_parse*1e3:11.1f}"
      f"{len(raw)/py_parse/mb:13.0f}{py_parse/our_parse:12.2f}x")
print(f"{'write':8}{our_write*1e3:10.1f}{ours['BM_WritePhotoList']['bytes_per_second']/mb:11.0f}"
      f"{py_write*1e3:11.1f}{len(written)/py_write/mb:13.0f}{py_write/our_write:12.2f}x")
print("(CPU time per document; ours/python = Python's time divided by ours. Python parses an already")
print(" decoded str; both sides include releasing the parsed tree.)")
PY
