#!/bin/bash
# Peak memory (VmHWM) of the HTTP client while it reads hostile and large
# answers, against the answer bound (the reference, 128 MiB) in the same run:
#   - an endless chunked answer (must end with "Response body too large.")
#   - an endless answer without length, read until the peer closes
#   - a 100 MB JSON answer with Content-Length, and the same chunked
#   - a 40 MB photo listing (about 10 000 photos), the largest legitimate one
# Each answer is read by a fresh process (bench/answer_memory_tool); the
# figure is its peak minus its peak before the request, as a ratio of the
# bound and of the body's size.
# Usage: bench/answer_memory.sh [BUILD_DIR]   (default: build-bench)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-bench"}
cap=$((128 * 1024 * 1024))

cmake -S "$root" -B "$build" -G Ninja -DVELMORA_BENCH=ON >/dev/null
log=$(mktemp)
if ! ninja -C "$build" -j2 answer_memory_tool >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"

work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
# The peer: Python's standard library, 127.0.0.1, a free port, stops after
# 10 minutes at the latest.
cat >"$work/peer.py" <<'PY'
import socket, sys, threading, time
MB = 1000 * 1000
def listing(size):
    entry = ('{"UID":"pq%010d","FileName":"2024/09/IMG_%06d.jpg","Hash":"' + "a" * 40 +
             '","Title":"Gli sposi","Size":4839201,"Mime":"image/jpeg"' + ',"Extra":"' + "x" * 3600 + '"}')
    parts, n, total = [], 0, 2
    while total < size:
        e = entry % (n, n)
        parts.append(e); total += len(e) + 1; n += 1
    return ("[" + ",".join(parts) + "]").encode()
bodies = {"/json100": listing(100 * MB), "/listing40": listing(40 * MB)}
def serve(conn):
    try:
        request = b""
        while b"\r\n\r\n" not in request:
            piece = conn.recv(4096)
            if not piece: return
            request += piece
        path = request.split(b" ")[1].decode()
        piece = b"x" * 32768
        if path == "/endless-chunked":
            conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            while True: conn.sendall(b"8000\r\n" + piece + b"\r\n")
        if path == "/endless-close":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n")
            while True: conn.sendall(piece)
        name, chunked = path.replace("-chunked", ""), path.endswith("-chunked")
        body = bodies[name]
        if chunked:
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n")
            for at in range(0, len(body), 65536):
                block = body[at:at + 65536]
                conn.sendall(b"%x\r\n" % len(block) + block + b"\r\n")
            conn.sendall(b"0\r\n\r\n")
        else:
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                         % len(body) + body)
    except OSError:
        pass
    finally:
        conn.close()
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
print(listener.getsockname()[1], flush=True)
threading.Timer(600, lambda: __import__("os")._exit(0)).start()
while True:
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
PY
python3 "$work/peer.py" >"$work/port" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(head -1 "$work/port")

printf '%-22s %10s %12s %12s  %s\n' "answer" "peak MiB" "peak/bound" "peak/body" "outcome"
for path in endless-chunked endless-close json100 json100-chunked listing40 listing40-chunked; do
  read -r before after outcome < <("$build/bench/answer_memory_tool" "http://127.0.0.1:$port/$path")
  grown=$(((after - before) * 1024))
  case $path in
    json100*) body=100000000 ;;
    listing40*) body=40000000 ;;
    *) body=$cap ;;
  esac
  awk -v g="$grown" -v c="$cap" -v b="$body" -v p="$path" -v o="$outcome" \
    'BEGIN { printf "%-22s %10.1f %12.3f %12.3f  %s\n", p, g / 1048576, g / c, g / b, o }'
done
