#!/usr/bin/env bash
# An up-to-date run over many small files: vtupdate fetches the manifest and its signature,
# reads installed.json, asks the file system for the size and last-write time of every
# recorded file, and stops. Peer in the same run: `find DIR -type f -printf '%s %T@\n'`, which
# asks for the same attributes of the same files. Round-robin, best of 5 (best of 3 from a
# million files on), at 20,000, 100,000 and 1,000,000 files in folders of 1,000.
#
# One small release is installed for real, for a signed manifest and a record of its build;
# the many files are then made in place (empty: the attribute queries do not read them) and
# the record is rewritten to name them all, in the form vtupdate writes, so that setting up a
# million files takes seconds rather than a million downloads.
# Goals: ours at most 1.3 x find's time at every size; the million-file run under 5 s; peak
# memory at most twice the record's size plus 32 MiB.
# Usage: bench/uptodate.sh   (VT_BENCH_COUNTS="20000 100000 1000000"; VT_BENCH_SMALL=1: 2,000)
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

counts="${VT_BENCH_COUNTS:-20000 100000 1000000}"
[ "$small" != 1 ] || counts=2000
per_folder=1000

bench_build find nginx curl
bench_workdir
echo "load at the start: $(uptime)"
mkdir -p "$work/source"
echo "Veltrano" >"$work/source/readme.txt"
bench_pack "$work/source" "$work/tree" 1
bench_serve "$work/tree"

game="$work/game"
time_vtupdate "$game"
head="$(sed -n 's/^\xEF\xBB\xBF\({"build":[0-9-]*,"list":"[0-9a-f]*",\).*/\1/p' \
  "$game/installed.json")"
[ -n "$head" ] || {
  echo "cannot read the installed record's build and list" >&2
  exit 1
}

made=0
for count in $counts; do
  echo
  echo "making $count files in folders of $per_folder"
  while [ "$made" -lt "$count" ]; do
    folder="$game/maps/m$(printf '%05d' $((made / per_folder)))"
    mkdir -p "$folder"
    n=$((count - made < per_folder ? count - made : per_folder))
    (cd "$folder" && seq -f 'tile%04g.dat' 0 $((n - 1)) | xargs touch)
    made=$((made + n))
  done
  # The record as vtupdate writes it: byte-order mark, no white space, "/" as "\/", and
  # FILETIME units (100 ns since 1601) made from find's seconds and fraction without rounding.
  {
    printf '\xEF\xBB\xBF%s"files":{' "$head"
    find "$game/maps" -type f -printf '%P %s %T@\n' | LC_ALL=C sort |
      awk -v digest="$(printf '' | sha256sum | cut -c1-64)" '
        {
          split($3, t, ".")
          time = sprintf("%.0f%s", t[1] + 11644473600, substr(t[2] "0000000", 1, 7))
          name = "maps/" $1
          gsub("/", "\\/", name)
          printf "%s\"%s\":{\"s\":%s,\"t\":%s,\"h\":\"%s\"}", (NR > 1 ? "," : ""), name, $2, time,
            digest
        }'
    printf '}}'
  } >"$work/installed.json"
  mv "$work/installed.json" "$game/installed.json"
  record_bytes=$(stat -c %s "$game/installed.json")

  ours="vtupdate, up to date ($count)"
  peer="find -type f -printf ($count)"
  rounds=5
  [ "$count" -lt 1000000 ] || rounds=3
  find "$game" -type f -printf '%s %T@\n' >/dev/null # warm the caches for both
  for _ in $(seq 1 "$rounds"); do
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

  echo "== up-to-date run: $count files, record $((record_bytes / 1024)) KiB, warm cache," \
    "best of $rounds"
  print_table "$ours" "$peer"
  print_goal "ours at most 1.3 x find's time" "$ours" "$peer" 1.3
  print_memory_goal "$ours" $(((2 * record_bytes >> 20) + 32))
  if [ "$count" -ge 1000000 ]; then
    awk -v ns="${best_ns[$ours]}" 'BEGIN {
      printf "  goal: a million files under 5 s: %.3f s: %s\n", ns / 1e9, (ns < 5e9 ? "met" : "MISSED") }'
  fi
  echo "  load: $(uptime)"
done
print_load
