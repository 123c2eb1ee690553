#!/bin/bash
# Fails when a library folder includes a header from a folder it may not use:
# the one-way layer rule. This table is the one place the layers are defined;
# each folder's CMakeLists links the same libraries.
#
#   check-layers.sh [SOURCE_DIR]    (default: the folder above this script)
#
# Prints one line per offending include ("file:line: folder may not include
# header") and exits 1 when there is any, 0 otherwise. Tests, benchmarks,
# fuzz targets and tools sit above every layer and are not checked.
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}

# folder: the folders whose headers it may include (besides its own).
# Lowest layer first. The companions under app/ reuse the layers below app/,
# never app/ itself nor each other, and show no window; all three run in
# the program frame of app/frame.
layers='
platform:
archive: platform
config: archive platform
transport: platform
window: platform
prism: transport archive platform
publish: prism config archive transport platform
app/frame: archive platform
app: app/frame publish prism config archive transport window platform
app/batch: app/frame publish prism config archive transport platform
app/doctor: app/frame publish prism config archive transport platform
'

declare -A allowed
folders=()
while IFS=: read -r folder deps; do
  [[ -z $folder ]] && continue
  folders+=("$folder")
  allowed[$folder]=" $folder $deps "
done <<<"$layers"

# The layer of a path: its longest listed folder prefix ("app/batch/x.cpp"
# is in app/batch, "app/Velmora.cpp" in app).
layer_of() {
  local path=$1 best='' f
  for f in "${folders[@]}"; do
    if [[ $path == "$f/"* && ${#f} -gt ${#best} ]]; then best=$f; fi
  done
  printf '%s' "$best"
}

cd "$root"
failures=0
for folder in "${folders[@]}"; do
  [[ -d $folder ]] || continue
  while IFS= read -r -d '' file; do
    [[ $(layer_of "$file") == "$folder" ]] || continue
    line_no=0
    while IFS= read -r line; do
      line_no=$((line_no + 1))
      [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]] || continue
      header=${BASH_REMATCH[1]}
      target=$(layer_of "$header")
      if [[ -z $target ]]; then
        # A quoted include outside every layer (tests/, bench/, ...) is never
        # a library's to use; headers next to the file have no folder.
        [[ $header == */* ]] || continue
        echo "$file:$line_no: $folder may not include $header (not a library folder)"
        failures=$((failures + 1))
      elif [[ ${allowed[$folder]} != *" $target "* ]]; then
        echo "$file:$line_no: $folder may not include $header (layer $target)"
        failures=$((failures + 1))
      fi
    done <"$file"
  done < <(find "$folder" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
done

if ((failures > 0)); then
  echo "check-layers: $failures include(s) point up the layers"
  exit 1
fi
echo "check-layers: every include points down the layers"
