#!/bin/bash
# Publishes a sample photo with the real program: demo configuration database
# and archive under ./demo/, the test Prism server on 127.0.0.1 (its state
# kept under ./demo/server/), one run of velmora, then the transfer row and
# what the server holds. Running it again publishes again into the same
# server album.
#
#   scripts/demo.sh BUILD_DIR     (BUILD_DIR holds app/velmora, app/velmora-doctor and tools/velmora_demo_tool)
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: scripts/demo.sh BUILD_DIR" >&2
  exit 2
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
DEMO=$ROOT/demo
for f in "$BUILD/app/velmora" "$BUILD/app/velmora-doctor" "$BUILD/tools/velmora_demo_tool"; do
  [ -x "$f" ] || { echo "missing $f: build the targets velmora, velmora-doctor and velmora_demo_tool first" >&2; exit 1; }
done
mkdir -p "$DEMO/run" "$DEMO/foto" "$DEMO/server"

# The sample photo: a small gradient, drawn by ImageMagick when it is there,
# else the same kind of picture kept here.
PHOTO=$DEMO/foto/tramonto.jpg
if [ ! -f "$PHOTO" ]; then
  if command -v convert >/dev/null 2>&1; then
    convert -size 64x48 gradient:orange-navy -quality 70 -strip "$PHOTO"
  else
    echo "/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAoHBwgHBgoICAgLCgoLDhgQDg0NDh0VFhEYIx8lJCIfIiEmKzcvJik0KSEiMEExNDk7Pj4+JS5ESUM8SDc9Pjv/2wBDAQoLCw4NDhwQEBw7KCIoOzs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozv/wAARCAAwAEADASIAAhEBAxEB/8QAFQABAQAAAAAAAAAAAAAAAAAAAAX/xAAWEAADAAAAAAAAAAAAAAAAAAAAFGH/xAAWAQEBAQAAAAAAAAAAAAAAAAAABgX/xAAWEQEBAQAAAAAAAAAAAAAAAAAAExT/2gAMAwEAAhEDEQA/ALbNDNJLNDNIbIpqqzNDNJLNDNGQqrM0M0ks0M0ZCqszQzSSzQzRkKpLNDNJTNDNKzIzKqrNDNJTNDNGQqqs0M0lM0M0ZCqqzQzSUzQzRkKpLNDNJTNDNKvIzaqrNDNJTNDNGQqqs0M0lM0M0ZCqqzQzSUzQzRkKv//Z" | base64 -d > "$PHOTO"
  fi
fi

# The test Prism server (account demo/demo); it stops by itself when this
# script ends, and is stopped by its pid below.
SERVER_OUT=$DEMO/server.port
/usr/bin/python3 "$ROOT/tests/peers/prism_server.py" --user demo:demo --data "$DEMO/server" \
  --record "$DEMO/server/requests.jsonl" --lifetime 300 > "$SERVER_OUT" &
SERVER_PID=$!
trap 'kill $SERVER_PID 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  [ -s "$SERVER_OUT" ] && break
  sleep 0.1
done
PORT=$(head -n 1 "$SERVER_OUT")
[ -n "$PORT" ] || { echo "the test Prism server did not start" >&2; exit 1; }
BASE=http://127.0.0.1:$PORT/
echo "Test Prism server: $BASE (pid $SERVER_PID)"

# Databases, parameter file and the program next to it.
"$BUILD/tools/velmora_demo_tool" setup "$DEMO/run" "$BASE" "$ROOT/tests/fixtures/archive_schema.sql" "$DEMO/foto"
cp "$BUILD/app/velmora" "$DEMO/run/velmora"
cp "$BUILD/app/velmora-doctor" "$DEMO/run/velmora-doctor"

# What the doctor sees before the run (it changes nothing; only its login
# reaches the server).
echo
echo "$ velmora-doctor 1 query_esterno 1"
(cd "$DEMO/run" && ./velmora-doctor 1 query_esterno 1) || true

echo
echo "$ velmora 1 query_esterno - 1"
(cd "$DEMO/run" && ./velmora 1 query_esterno - 1) | tr -d '\r'

echo
"$BUILD/tools/velmora_demo_tool" show "$DEMO/run" 1

echo
echo "What the server holds:"
/usr/bin/python3 - "$DEMO/server/state.json" <<'PY'
import json, sys
state = json.load(open(sys.argv[1]))
for album in state["albums"]:
    print("  album %s \"%s\": %d photo(s)" % (album["UID"], album["Title"], len(album["Photos"])))
for link in state["links"]:
    print("  link s/%s/%s" % (link["Token"], link["ShareUID"]))
for photo in state["photos"]:
    print("  photo %s %s sha1 %s title \"%s\"" % (photo["UID"], photo["FileName"], photo["Hash"], photo["Title"]))
PY
echo "  (sha1 of the sample: $(sha1sum "$PHOTO" | cut -d' ' -f1))"

kill $SERVER_PID
wait $SERVER_PID 2>/dev/null || true
trap - EXIT
echo "Test Prism server stopped."
