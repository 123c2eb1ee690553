#!/bin/bash
# Upload benchmark: the same file sent as a multipart form-data POST by our
# client (upload_tool) and by curl (-F files=@FILE), alternating, over http
# and https, to a local nginx that discards the body. Prints the median
# throughput of each, the ratio ours/curl, the peak RSS and the CPU time per
# GiB of each.
#
# Our client also computes the SHA-1 of the file while it sends it (the
# photo lookup needs it); curl does not. A second reference shows what that
# costs on this machine whatever the client: curl with `openssl dgst -sha1`
# of the same file running beside it (started together, timed until both
# end), and the ratio ours/(curl+sha1).
#
# Usage: bench/upload.sh [-r ROUNDS] [-s "SIZES_MIB"] [-t UPLOAD_TOOL]
#   -r  rounds per size and scheme (default 5)
#   -s  file sizes in MiB (default "64 1024")
#   -t  the upload_tool binary (default: built in build-bench/ with
#       -DVELMORA_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
# Needs: nginx (nginx-light), curl, openssl, /usr/bin/time, python3; run as
# root (nginx's master process). Everything lives in one temporary directory,
# removed at the end; nginx is stopped by its pid.
set -euo pipefail

ROUNDS=5
SIZES="64 1024"
TOOL=""
while getopts "r:s:t:h" opt; do
  case $opt in
    r) ROUNDS=$OPTARG ;;
    s) SIZES=$OPTARG ;;
    t) TOOL=$OPTARG ;;
    *) sed -n '2,15p' "$0"; exit 2 ;;
  esac
done

ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [[ -z $TOOL ]]; then
  cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$ROOT/build-bench" upload_tool >/dev/null
  TOOL=$ROOT/build-bench/bench/upload_tool
fi
[[ -x $TOOL ]] || { echo "upload_tool not found: $TOOL" >&2; exit 1; }

DIR=$(mktemp -d /tmp/velmora-upload-bench.XXXXXX)
NGINX_PID=""
cleanup() {
  if [[ -n $NGINX_PID ]] && kill -0 "$NGINX_PID" 2>/dev/null; then
    kill -QUIT "$NGINX_PID" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
HTTP_PORT=$(free_port)
HTTPS_PORT=$(free_port)
while [[ $HTTPS_PORT == "$HTTP_PORT" ]]; do HTTPS_PORT=$(free_port); done

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$DIR/key.pem" -out "$DIR/cert.pem" 2>/dev/null
sed -e "s|@DIR@|$DIR|g" -e "s|@HTTP_PORT@|$HTTP_PORT|g" -e "s|@HTTPS_PORT@|$HTTPS_PORT|g" \
  "$ROOT/bench/upload_nginx.conf" >"$DIR/nginx.conf"
nginx -p "$DIR" -c "$DIR/nginx.conf" -e "$DIR/error.log"
for _ in $(seq 100); do [[ -s $DIR/nginx.pid ]] && break; sleep 0.1; done
NGINX_PID=$(cat "$DIR/nginx.pid")
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$HTTP_PORT/" && break
  sleep 0.1
done

# One upload; appends "client_seconds nginx_seconds peak_rss_kib tls cpu_seconds"
# to $3.
# $1 = ours|curl|curlsha, $2 = URL, $3 = result file, $4 = file, $5 = file size.
upload() {
  local who=$1 url=$2 out=$3 file=$4 size=$5 result secs sent before after line rss rtime status tls cpu
  before=$(wc -l <"$DIR/access.log")
  if [[ $who == ours ]]; then
    result=$(/usr/bin/time -v -o "$DIR/time.txt" "$TOOL" "$url" "$file" video/mp4 |
      sed -n 's/^seconds=\([0-9.]*\) bytes=\([0-9]*\)$/\1 \2/p')
  elif [[ $who == curlsha ]]; then
    # curl and a SHA-1 of the same file at the same time, until both end.
    result=$(/usr/bin/time -v -o "$DIR/time.txt" bash -c '
      start=$(date +%s%N)
      openssl dgst -sha1 "$1" >/dev/null &
      sent=$(curl -s -k -o /dev/null -w "%{size_upload}" -F "files=@$1" "$2")
      wait
      end=$(date +%s%N)
      echo "$(awk -v a="$start" -v b="$end" "BEGIN { printf \"%.6f\", (b - a) / 1e9 }") $sent"' _ "$file" "$url")
  else
    result=$(/usr/bin/time -v -o "$DIR/time.txt" curl -s -k -o /dev/null -w '%{time_total} %{size_upload}' \
      -F "files=@$file" "$url")
  fi
  read -r secs sent <<<"$result"
  # nginx logs the request once it has read (and thrown away) the whole body;
  # its $request_length counts the head only, so the clients tell the size.
  for _ in $(seq 200); do
    after=$(wc -l <"$DIR/access.log")
    ((after > before)) && break
    sleep 0.05
  done
  line=$(tail -n 1 "$DIR/access.log")
  read -r rtime _ status _ tls <<<"$line"
  if ((after == before)) || [[ $status != 200 || -z $secs ]] || ((${sent:-0} < size)); then
    echo "$who upload to $url failed or was cut short (sent ${sent:-nothing}): nginx logged '$line'" >&2
    exit 1
  fi
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$DIR/time.txt")
  cpu=$(awk -F': ' '/User time|System time/ {t += $2} END {print t}' "$DIR/time.txt")
  echo "$secs $rtime $rss $tls $cpu" >>"$out"
}

# Median of column $2 of file $1.
median() { awk -v c="$2" '{print $c}' "$1" | sort -g | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }
maxcol() { awk -v c="$2" 'BEGIN{m=0} $c>m{m=$c} END{print m}' "$1"; }

echo "Upload benchmark: $ROUNDS rounds, sizes ${SIZES// / and } MiB, nginx on 127.0.0.1:$HTTP_PORT (http) and :$HTTPS_PORT (https)"
echo "Throughput = file MiB / time; client time = the client's own timer (ours: the POST call, curl: time_total,"
echo "curl+sha1: until both curl and the digest end); nginx time = \$request_time (ends with the last body byte);"
echo "cpu = user + system seconds per GiB of each client (less sensitive to a busy machine than wall time)."
echo "Reference: curl $(curl --version | head -n1 | cut -d' ' -f2), $(openssl version | cut -d' ' -f1-2) for the SHA-1."
echo "Load at the start: $(uptime | sed 's/.*load average/load average/')"
printf '%-8s %-5s | %10s %10s %5s | %10s %5s | %11s %11s %5s | %9s %9s | %s\n' size proto "ours MiB/s" "curl MiB/s" ratio \
  "+sha1 MiB/s" ratio "ours(nginx)" "curl(nginx)" ratio "ours RSS" "curl RSS" "cpu s/GiB ours curl curl+sha1"
for size in $SIZES; do
  file=$DIR/upload-$size.bin
  head -c "$((size * 1024 * 1024))" /dev/urandom >"$file"
  bytes=$((size * 1024 * 1024))
  for proto in http https; do
    port=$HTTP_PORT
    [[ $proto == https ]] && port=$HTTPS_PORT
    url="$proto://127.0.0.1:$port/api/v1/users/u/upload/token1"
    ours=$DIR/ours-$size-$proto.txt curl=$DIR/curl-$size-$proto.txt curlsha=$DIR/curlsha-$size-$proto.txt
    : >"$ours"
    : >"$curl"
    : >"$curlsha"
    # One warm-up upload each (page cache, TLS library), not counted.
    upload ours "$url" /dev/null "$file" "$bytes"
    upload curl "$url" /dev/null "$file" "$bytes"
    for round in $(seq "$ROUNDS"); do
      if ((round % 2)); then
        upload ours "$url" "$ours" "$file" "$bytes"
        upload curl "$url" "$curl" "$file" "$bytes"
        upload curlsha "$url" "$curlsha" "$file" "$bytes"
      else
        upload curlsha "$url" "$curlsha" "$file" "$bytes"
        upload curl "$url" "$curl" "$file" "$bytes"
        upload ours "$url" "$ours" "$file" "$bytes"
      fi
    done
    read -r oc on orss ocpu cc cn crss ccpu sc scpu < <(echo "$(median "$ours" 1) $(median "$ours" 2)" \
      "$(maxcol "$ours" 3) $(median "$ours" 5) $(median "$curl" 1) $(median "$curl" 2) $(maxcol "$curl" 3)" \
      "$(median "$curl" 5) $(median "$curlsha" 1) $(median "$curlsha" 5)")
    awk -v s="$size" -v p="$proto" -v oc="$oc" -v on="$on" -v cc="$cc" -v cn="$cn" -v orss="$orss" -v crss="$crss" \
      -v ocpu="$ocpu" -v ccpu="$ccpu" -v sc="$sc" -v scpu="$scpu" \
      'function tp(t) { return t > 0 ? s / t : 0 }
       BEGIN {
         gib = s / 1024
         printf "%-8s %-5s | %10.0f %10.0f %5.2f | %11.0f %5.2f | %11.0f %11.0f %5.2f | %5.1f MiB %5.1f MiB | %.2f %.2f %.2f\n",
           s "MiB", p, tp(oc), tp(cc), (oc > 0 ? cc / oc : 0), tp(sc), (oc > 0 ? sc / oc : 0),
           tp(on), tp(cn), (on > 0 ? cn / on : 0), orss / 1024, crss / 1024,
           ocpu / gib, ccpu / gib, scpu / gib
       }'
    if [[ $proto == https ]]; then
      echo "         https: ours $(tail -n 1 "$ours" | cut -d' ' -f4), curl $(tail -n 1 "$curl" | cut -d' ' -f4)"
    fi
  done
  rm -f "$file"
done
echo "Load at the end: $(uptime | sed 's/.*load average/load average/')"
