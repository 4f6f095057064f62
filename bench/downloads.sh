#!/usr/bin/env bash
# Downloads of a whole build from nginx on 127.0.0.1 into an empty folder, in two sets:
#   small: 2,000 files of 4 to 64 KiB (random sizes and bytes) in 20 folders;
#   large: 4 files of 256 MiB.
# Both are packed with --compress never, so every tool moves the same bytes. Ours is a whole
# vtupdate run (manifest, list, four download workers, each file verified, flushed and renamed
# into place, then the record). Peers in the same run fetch the same object URLs to the same
# paths: `curl --parallel --parallel-max 4` and `aria2c -j4`; for reference also curl followed
# by one `sync -f`, which makes its files durable too. The target folder is removed and
# the page cache's dirty pages written back before every run; best of 5 each (VT_BENCH_ROUNDS),
# round-robin, and the median of the interleaved pairs of ours and curl.
# Goals: faster than aria2c in both sets; at most 1.5 x curl's time for the small files and
# 1.25 x for the large ones; our peak memory at most 64 MiB throughout.
# Usage: bench/downloads.sh   (VT_BENCH_SMALL=1: 200 small files, 4 of 16 MiB; see common.sh)
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

small_count=2000
large_mib=256
if [ "$small" = 1 ]; then
  small_count=200
  large_mib=16
fi

bench_build curl aria2c nginx
bench_workdir

# Writes the two game folders and packs them under $work/www/<set>.
make_sets() {
  local dir="$work/source/small" i size
  RANDOM=2024 # the same sizes in every run of the script
  for i in $(seq 1 "$small_count"); do
    mkdir -p "$dir/f$((i % 20))"
    size=$((4096 + (RANDOM * 32768 + RANDOM) % (60 * 1024 + 1)))
    head -c "$size" /dev/urandom >"$dir/f$((i % 20))/s$i.dat"
  done
  dir="$work/source/large"
  mkdir -p "$dir"
  for i in 1 2 3 4; do head -c $((large_mib << 20)) /dev/urandom >"$dir/big$i.pak"; done
  bench_pack "$work/source/small" "$work/www/small" 1
  bench_pack "$work/source/large" "$work/www/large" 1
}

# Writes the peers' input files for set $1 into target folder $2: $work/$1.curl and
# $work/$1.aria2, from the set's file list (path and SHA-256 of every entry). Objects are
# <base>/<set>/o/<first two hex digits>/<SHA-256>, as vtpublish lays them out.
make_peer_inputs() {
  local set="$1" target="$2" path hash
  : >"$work/$set.curl"
  : >"$work/$set.aria2"
  grep -o '"p":"[^"]*","s":[0-9]*,"h":"[0-9a-f]*"' "$work/www/$set"/lists/*.json |
    sed 's|\\/|/|g; s|^"p":"\([^"]*\)",.*"h":"\([0-9a-f]*\)"$|\1 \2|' |
    while read -r path hash; do
      local object="${base_url}$set/o/${hash:0:2}/$hash"
      printf 'url = "%s"\noutput = "%s/%s"\n' "$object" "$target" "$path" >>"$work/$set.curl"
      printf '%s\n  dir=%s\n  out=%s\n' "$object" "$target/$(dirname "$path")" \
        "$(basename "$path")" >>"$work/$set.aria2"
    done
}

count_and_sum() { awk '{ n++; b += $1 } END { print n, b }'; }

# Every tool must leave exactly the source's files and bytes in the target.
check_target() {
  local set="$1" want got
  want="$(find "$work/source/$set" -type f -printf '%s\n' | count_and_sum)"
  got="$(find "$work/target" -type f ! -name installed.json -printf '%s\n' | count_and_sum)"
  if [ "$want" != "$got" ]; then
    echo "$2 left '$got' (files, bytes) in the target, not '$want'" >&2
    exit 1
  fi
}

fresh_target() {
  rm -rf "$work/target"
  sync
}

ours="vtupdate, empty folder"
curl_name="curl --parallel-max 4"
synced_name="curl, then sync -f (ref.)"
aria_name="aria2c -j4"

rounds="${VT_BENCH_ROUNDS:-5}"
# Per set: ours / curl of each round, where the two ran one right after the other.
declare -A pair_ratios

# Rounds over set $1 from $base_url, each tool once per round.
run_set() {
  local set="$1" target="$work/target" ours_ns
  url="$base_url$set/"
  for _ in $(seq 1 "$rounds"); do
    fresh_target
    time_vtupdate "$target"
    check_target "$set" "$ours"
    record "$set: $ours"
    ours_ns=$ns
    fresh_target
    time_cmd curl --parallel --parallel-max 4 -s --create-dirs -K "$work/$set.curl"
    check_target "$set" curl
    record "$set: $curl_name"
    pair_ratios[$set]+="$(awk -v a="$ours_ns" -v b="$ns" 'BEGIN { printf "%.4f", a / b }') "
    # Reference only: curl's files made durable afterwards with one flush of the file system,
    # the cheapest way to what our per-file flushes give.
    fresh_target
    # shellcheck disable=SC2016  # expanded by the inner sh
    time_cmd sh -c 'curl --parallel --parallel-max 4 -s --create-dirs -K "$1" && sync -f "$2"' \
      sh "$work/$set.curl" "$target"
    check_target "$set" "curl + sync"
    record "$set: $synced_name"
    fresh_target
    time_cmd aria2c -j4 --allow-overwrite=true --auto-file-renaming=false -q \
      --file-allocation=none -i "$work/$set.aria2"
    check_target "$set" aria2c
    record "$set: $aria_name"
  done
  rm -rf "$target"
}

echo "writing $small_count files of 4 to 64 KiB and 4 files of $large_mib MiB"
make_sets
bench_serve "$work/www"
base_url="$url"
for set in small large; do make_peer_inputs "$set" "$work/target"; done
run_set small
run_set large

echo
echo "== downloads from nginx on 127.0.0.1 into an empty folder, best of $rounds"
echo "-- small: $small_count files of 4 to 64 KiB"
print_table "small: $ours" "small: $curl_name" "small: $synced_name" "small: $aria_name"
echo "-- large: 4 files of $large_mib MiB"
print_table "large: $ours" "large: $curl_name" "large: $synced_name" "large: $aria_name"
echo
for set in small large; do
  print_goal "$set: ours faster than aria2c" "$set: $ours" "$set: $aria_name" 1 "<"
done
print_goal "small: ours at most 1.5 x curl's time" "small: $ours" "small: $curl_name" 1.5
print_goal "large: ours at most 1.25 x curl's time" "large: $ours" "large: $curl_name" 1.25
# The same goal as a median of the interleaved pairs, which other load on the machine moves less
# than a best of each.
for set in small large; do
  # shellcheck disable=SC2086  # one ratio per word
  printf '  %s: median of %d interleaved pairs, ours / curl: %s\n' "$set" "$rounds" \
    "$(printf '%s\n' ${pair_ratios[$set]} | sort -n | awk '{ r[NR] = $1 }
      END { printf "%.2f", NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }')"
done
small_kib="${peak_kib["small: $ours"]}"
large_kib="${peak_kib["large: $ours"]}"
peak_kib[ours]=$((small_kib > large_kib ? small_kib : large_kib))
print_memory_goal ours 64
print_load
