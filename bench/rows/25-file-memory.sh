#!/usr/bin/env bash
# Peak memory of read_file and write_file of 16 MiB above an empty script.
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=16777216
head -c $size /dev/urandom > "$work/data"
echo "" > "$work/empty.lua"
echo "local d = assert(__morvane_native.read_file('$work/data')) assert(#d == $size)" > "$work/read.lua"
echo "assert(__morvane_native.write_file('$work/out', ('x'):rep($size)))" > "$work/write.lua"
peak() { /usr/bin/time -f %M "$RUNNER" "$1" 2>&1 >/dev/null | tail -1; }
base=$(peak "$work/empty.lua")
mib=$(( size / 1024 ))
for kind in read write; do
  used=$(( $(peak "$work/$kind.lua") - base ))
  ratio=$(calc "$used / $mib")
  echo "| ${kind}_file 16 MiB | peak RSS above empty script | ${used} KiB = ${ratio}x file size | <= 3x | $(verdict "$ratio" '<=' 3) |"
done
