#!/usr/bin/env bash
# The checking pass of an update run without an installed record, over large files: the game
# folder already holds every file of the build, but no installed.json, so vtupdate fetches the
# manifest and the list, hashes every file, downloads nothing and writes the record. Warm page
# cache. Peers in the same run: `openssl dgst -sha256` and `sha256sum` over the same files.
# Best of 3 each, run round-robin so that a change of machine load hits all tools alike.
# Goal: ours at most 0.6 x OpenSSL's time: OpenSSL hashes on one core, vtupdate on all of them
# (two here).
# Usage: bench/checking.sh   (8 files of 128 MiB; VT_BENCH_SMALL=1: 8 of 8 MiB; see common.sh)
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

count=8
mib_each=128
[ "$small" != 1 ] || mib_each=8

bench_build openssl sha256sum nginx curl
bench_workdir
echo "load at the start: $(uptime)"
game="$work/game"
mkdir -p "$game/data"
echo "writing $count files of $mib_each MiB of random bytes"
for i in $(seq 1 "$count"); do
  head -c $((mib_each << 20)) /dev/urandom >"$game/data/part$i.pak"
done
bench_pack "$game" "$work/tree" 1
bench_serve "$work/tree"
files=("$game"/data/*.pak)
cat "${files[@]}" >/dev/null # warm the page cache

# The run must have found every file in place (nothing downloaded) and recorded all of them.
time_vtupdate "$game"
if grep -q '^Downloading' "$work/vtupdate.out" ||
  [ "$(grep -o '"h":' "$game/installed.json" | wc -l)" -ne "$count" ]; then
  echo "the checking run downloaded files or did not record all $count" >&2
  exit 1
fi

ours="vtupdate, no record"
two="openssl, two halves at once (ref.)"
names=("$ours" "openssl dgst -sha256" "sha256sum" "$two")
half=$((count / 2))
for _ in 1 2 3; do
  rm -f "$game/installed.json"
  time_vtupdate "$game"
  record "$ours"
  time_cmd openssl dgst -sha256 "${files[@]}"
  record "openssl dgst -sha256"
  time_cmd sha256sum "${files[@]}"
  record "sha256sum"
  # What two cores give here at the moment: other work on the machine may leave us only one.
  # shellcheck disable=SC2016  # the inner shell expands its own arguments
  time_cmd bash -c 'openssl dgst -sha256 "${@:1:'"$half"'}" & openssl dgst -sha256 "${@:'"$((half + 1))"'}"; wait' \
    _ "${files[@]}"
  record "$two"
done

echo
echo "== checking pass without a record: $count files of $mib_each MiB, warm cache, best of 3"
print_table "${names[@]}"
print_goal "ours at most 0.6 x openssl's time" "$ours" "openssl dgst -sha256" 0.6
print_memory_goal "$ours" 64
echo "  load: $(uptime)"
print_load
