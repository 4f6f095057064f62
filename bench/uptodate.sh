#!/usr/bin/env bash
# An up-to-date run over many small files: after one install, vtupdate fetches the manifest and
# its signature, reads installed.json and asks the file system for the size and last-write time
# of every recorded file, and stops. Peer in the same run: `find DIR -type f -printf '%s %T@\n'`,
# which asks for the same attributes of the same files. Best of 5 each, round-robin.
# Goal: ours at most 2 x find's time.
# Usage: bench/uptodate.sh   (20,000 files in 200 folders; VT_BENCH_SMALL=1: 2,000 in 20)
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

folders=200
per_folder=100
[ "$small" != 1 ] || folders=20
file_size=2048

bench_build find nginx curl
bench_workdir
source_dir="$work/source"
echo "writing $((folders * per_folder)) files of $file_size bytes in $folders folders"
for d in $(seq -w 1 "$folders"); do
  mkdir -p "$source_dir/maps/m$d"
  head -c $((per_folder * file_size)) /dev/urandom |
    split -b "$file_size" -a 3 -d --additional-suffix=.dat - "$source_dir/maps/m$d/tile"
done
bench_pack "$source_dir" "$work/tree" 1
bench_serve "$work/tree"

game="$work/game"
echo "installing once"
time_vtupdate "$game"
echo "  install: $(awk -v ns="$ns" 'BEGIN { printf "%.2f", ns / 1e9 }') s"

ours="vtupdate, up to date"
peer="find -type f -printf '%s %T@'"
for _ in 1 2 3 4 5; do
  time_vtupdate "$game"
  # Anything beyond the manifest means the record was not trusted: that is not this benchmark.
  if grep -q '^Reading the list' "$work/vtupdate.out"; then
    echo "the run did not stop at the record" >&2
    exit 1
  fi
  record "$ours"
  time_cmd find "$game" -type f -printf '%s %T@\n'
  record "$peer"
done

echo
echo "== up-to-date run: $((folders * per_folder)) files in $folders folders, warm cache, best of 5"
print_table "$ours" "$peer"
print_goal "ours at most 2 x find's time" "$ours" "$peer" 2
print_memory_goal "$ours" 64
print_load
