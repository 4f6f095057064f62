#!/usr/bin/env bash
# An update of one big package from nginx on 127.0.0.1, beside casync and zsync in the same run.
#
# The package is 1 GiB of deterministic pseudo-random bytes (AES-CTR of zeros under a fixed key);
# the new build changes it by 16 scattered 64 KiB edits, a 1 MiB insertion at 10 MiB and a 2 MiB
# append (18 changed regions, 4 MiB of new bytes). Every tool has the old file to reuse:
#   ours    vtpublish pack of the old build, then of the new one into the same tree; a folder
#           installed from the old build is brought to the new one by vtupdate;
#   casync  `casync make` of both files into one store (default chunk sizes), then
#           `casync extract --seed=<old file>` from the store over HTTP;
#   zsync   `zsyncmake` of the new file, then `zsync -i <old file>` over HTTP.
# nginx's access log gives the bytes sent (headers included) and the requests of every run.
# Also a fresh install of the new build into an empty folder, from the tree above and from the
# same build packed as whole objects only (`--chunks never`), and the growth of each server tree
# by the new build. Warm cache: the files were just written, nothing is dropped. Best wall time
# of VT_BENCH_ROUNDS rounds (default 3), tools round-robin; bytes and requests of the last round.
#
# Goals: bytes at most 1.2 x casync's; requests at most 2 x the changed regions + a constant;
# wall time below both peers'; tree growth at most 1.2 x casync's store growth + the new build's
# whole objects; a fresh install at most 1.1 x the whole-object install.
#
#   bench/delta.sh                  1 GiB package; about 12 GiB of scratch space
#   VT_BENCH_SMALL=1 bench/delta.sh 64 MiB package (see common.sh for the other variables)
#   VT_BENCH_LOG=FILE               also keeps nginx's access log, every request with its time
#   VT_BENCH_CONTENT=text           a compressible package (slices of the English text in
#                                   /usr/share/doc) instead of pseudo-random bytes
#   VT_BENCH_BASE_BUILD=DIR         a build folder of an earlier vtupdate (one that fetches whole
#                                   objects only): its fresh install of the whole-object tree is
#                                   the baseline of the fresh-install goal
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

mib=1024
[ "$small" != 1 ] || mib=64
rounds="${VT_BENCH_ROUNDS:-3}"
content="${VT_BENCH_CONTENT:-random}"
case "$content" in
  random | text) ;;
  *)
    echo "VT_BENCH_CONTENT takes random or text, not \"$content\"" >&2
    exit 1
    ;;
esac
regions=18
# Requests of ours beyond two per changed region: manifest, signature, list, chunk index, and
# two to spare.
request_slack=6

bench_build casync zsync zsyncmake nginx openssl python3 cmp
base_vtupdate=""
if [ -n "${VT_BENCH_BASE_BUILD:-}" ]; then
  base_vtupdate="$VT_BENCH_BASE_BUILD/tools/vtupdate/vtupdate"
  [ -x "$base_vtupdate" ] || {
    echo "no vtupdate in $VT_BENCH_BASE_BUILD/tools/vtupdate: build it there first" >&2
    exit 1
  }
fi
bench_workdir
src="$work/src"
www="$work/www"
log="$work/access.log"
pak=data/package.pak
old_file="$src/old/$pak"
new_file="$src/new/$pak"

# ---- data ---------------------------------------------------------------------------------

echo "writing a $mib MiB package ($content) and its new build"
mkdir -p "$src/old/data" "$src/new/data"
if [ "$content" = random ]; then
  # openssl ends on the broken pipe once head has enough.
  { openssl enc -aes-128-ctr -nosalt -K 00112233445566778899aabbccddeeff \
    -iv 0102030405060708090a0b0c0d0e0f10 -in /dev/zero 2>/dev/null || true; } |
    head -c $((mib << 20)) >"$old_file"
else
  # Slices of 4 to 64 KiB from random places of the text, as packed game data of mixed assets.
  python3 - "$old_file" $((mib << 20)) <<'PY'
import glob, random, sys
path, size = sys.argv[1], int(sys.argv[2])
corpus = b"".join(open(p, "rb").read() for p in sorted(glob.glob("/usr/share/doc/*/copyright")))
assert len(corpus) > (1 << 20), "too little text in /usr/share/doc"
rng = random.Random(7)
with open(path, "wb") as out:
    left = size
    while left > 0:
        n = min(left, rng.randrange(4096, 65537))
        at = rng.randrange(0, len(corpus) - n)
        out.write(corpus[at:at + n])
        left -= n
PY
fi
python3 - "$old_file" "$new_file" <<'PY'
import random, sys
old, new = sys.argv[1], sys.argv[2]
rng = random.Random(14)
MIB = 1 << 20
insert_at, insert, edit, append = 10 * MIB, MIB, 64 << 10, 2 * MIB
with open(old, "rb") as f, open(new, "wb") as out:
    out.write(f.read(insert_at))
    out.write(rng.randbytes(insert))
    while block := f.read(8 * MIB):
        out.write(block)
    size = out.tell()
    out.write(rng.randbytes(append))
# 16 edits spread over the file, off any power-of-two boundary, clear of the insertion.
spans = [(insert_at, insert_at + insert)]
with open(new, "r+b") as out:
    for i in range(16):
        at = (2 * i + 1) * size // 32 + 4099 * (i + 1)
        while any(at < e + MIB and s < at + edit + MIB for s, e in spans):
            at += 2 * MIB
        assert at + edit <= size
        spans.append((at, at + edit))
        out.seek(at)
        out.write(rng.randbytes(edit))
PY
changed_mib=$((16 * 64 / 1024 + 1 + 2))

# ---- server trees -------------------------------------------------------------------------

# Bytes of every file below $1 that a client may fetch (vtpublish's own .vtpublish/ left out).
tree_bytes() {
  find "$1" -name .vtpublish -prune -o -type f -printf '%s\n' |
    awk '{ s += $1 } END { printf "%.0f\n", s }'
}
# "<path> <size>" of every object below $1, sorted.
object_sizes() { (cd "$1" && find o -type f -printf '%p %s\n' 2>/dev/null | LC_ALL=C sort); }

chunks_switch=0
if "$vtpublish" pack --help 2>&1 | grep -q -- '--chunks'; then chunks_switch=1; fi

# vtpublish pack of game folder $1 into tree $2 as build $3, more options after. Packing is
# setup: eatmydata spares its flushes and one sync writes everything back before any timing.
pack() {
  local game="$1" tree="$2" build="$3" quick=()
  shift 3
  if command -v eatmydata >/dev/null; then quick=(eatmydata); fi
  "${quick[@]}" "$vtpublish" pack "$game" "$tree" --build "$build" --key "$key" "$@" \
    >"$work/pack.out" 2>&1 || {
    cat "$work/pack.out" >&2
    exit 1
  }
  sync
}

# A folder installed from the old build is the start of every update run: the tree serves the
# old build first.
pack "$src/old" "$www/ours" 1
bench_serve "$www" "$log"
base_url="$url"
url="${base_url}ours/"
time_vtupdate "$work/installed_old"
cmp "$work/installed_old/$pak" "$old_file"

before_bytes="$(tree_bytes "$www/ours")"
object_sizes "$www/ours" >"$work/objects.before"
pack "$src/new" "$www/ours" 2
pack_report="$(cat "$work/pack.out")"
ours_growth=$(($(tree_bytes "$www/ours") - before_bytes))
object_sizes "$www/ours" >"$work/objects.after"
# Whole objects the new build added: every new object but the chunk indexes.
ours_whole="$(LC_ALL=C comm -13 "$work/objects.before" "$work/objects.after" |
  awk '$1 !~ /\.ci$/ { s += $2 } END { printf "%.0f\n", s }')"
# The chunks of the new build that the old one lacks, from the two chunk indexes ("VTCHUNK1",
# flags, count, data offset, then size, stored size and SHA-256 per chunk): what a delta must
# move at least, whatever the way it fetches them. Empty when the packer wrote no index.
old_index="$(awk '$1 ~ /\.ci$/ { print $1 }' "$work/objects.before")"
new_index="$(LC_ALL=C comm -13 "$work/objects.before" "$work/objects.after" |
  awk '$1 ~ /\.ci$/ { print $1 }')"
ours_chunks=""
if [ -n "$old_index" ] && [ -n "$new_index" ]; then
  ours_chunks="$(python3 - "$www/ours/$old_index" "$www/ours/$new_index" <<'PY'
import struct, sys
def chunks(path):
    data = open(path, "rb").read()
    assert data[:8] == b"VTCHUNK1", path
    count = struct.unpack_from("<I", data, 12)[0]
    return [struct.unpack_from("<II", data, 24 + 40 * i) + (data[32 + 40 * i:64 + 40 * i],)
            for i in range(count)]
old = {h for _, _, h in chunks(sys.argv[1])}
new = chunks(sys.argv[2])
fresh = {h: (n, z) for n, z, h in new if h not in old}
print(sum(n for n, _ in fresh.values()), len(fresh), len(new), sum(n for n, _, _ in new),
      sum(z for _, z in fresh.values()))
PY
)"
fi

if [ "$chunks_switch" = 1 ]; then
  pack "$src/new" "$www/whole" 2 --chunks never
else
  pack "$src/new" "$www/whole" 2
fi
# The same build's objects without chunk data: what flushing at every cut costs in size.
plain_whole="$(object_sizes "$www/whole" | awk '{ s += $2 } END { printf "%.0f\n", s }')"

mkdir -p "$www/casync"
casync make --store="$www/casync/store.castr" "$www/casync/old.caibx" "$old_file" >/dev/null
store_before="$(tree_bytes "$www/casync/store.castr")"
store_chunks="$(find "$www/casync/store.castr" -name '*.cacnk' | wc -l)"
casync make --store="$www/casync/store.castr" "$www/casync/new.caibx" "$new_file" >/dev/null
casync_growth=$(($(tree_bytes "$www/casync/store.castr") - store_before))
casync_index="$(stat -c %s "$www/casync/new.caibx")"
casync_new_chunks="$(($(find "$www/casync/store.castr" -name '*.cacnk' | wc -l) - store_chunks))"
# A blob index is a 48-byte header, a 16-byte table header, 40 bytes per chunk and a 40-byte tail.
casync_all_chunks=$(((casync_index - 104) / 40))

mkdir -p "$www/zsync"
cp "$new_file" "$www/zsync/package.pak"
(cd "$www/zsync" && zsyncmake -u package.pak -o package.pak.zsync package.pak)
zsync_control="$(stat -c %s "$www/zsync/package.pak.zsync")"
chmod -R a+rX "$www"
mkdir -p "$work/out"
# A failed sum above only prints an error; the figures must be whole numbers to go on.
for figure in ours_growth ours_whole plain_whole casync_growth casync_index casync_new_chunks \
  zsync_control; do
  [[ "${!figure:-}" =~ ^[0-9]+$ ]] || {
    echo "could not measure $figure: '${!figure:-}'" >&2
    exit 1
  }
done
sync

# ---- runs ---------------------------------------------------------------------------------

declare -A sent=() requests=() partial=() connections=()

# Runs "$@" as tool $1's round (the rest is the command), then reads what nginx logged for it.
log_lines() { if [ -f "$log" ]; then wc -l <"$log"; else echo 0; fi; }
measure() {
  local name="$1" mark
  shift
  mark="$(log_lines)"
  "$@"
  record "$name"
  # nginx logs a request once its answer has left; give the last line a moment.
  sleep 0.3
  read -r "sent[$name]" "requests[$name]" "partial[$name]" "connections[$name]" < <(
    tail -n +$((mark + 1)) "$log" | awk '
      { b += $1; n++; if ($2 == 206) p++; c[$3] = 1 }
      END { printf "%.0f %d %d %d\n", b, n, p, length(c) }')
  awk -v n="$ns" -v b="${sent[$name]}" -v r="${requests[$name]}" -v t="$name" \
    'BEGIN { printf "  %-32s %8.3f s %10.2f MiB %5d requests\n", t, n / 1e9, b / 1048576, r }'
}

# The output must be the new build, byte for byte.
check() {
  cmp "$1" "$new_file" >/dev/null || {
    echo "$2 did not produce the new file" >&2
    exit 1
  }
}

ours="vtupdate, old build to new"
casync_name="casync extract --seed"
zsync_name="zsync -i"
fresh="vtupdate, fresh install"
whole="vtupdate, fresh, whole objects"
base="earlier vtupdate, fresh, whole"

run_ours() {
  rm -rf "$work/target"
  cp -a "$work/installed_old" "$work/target"
  sync
  url="${base_url}ours/"
  measure "$ours" time_vtupdate "$work/target"
  check "$work/target/$pak" "$ours"
}
run_casync() {
  rm -f "$work/out/casync.pak"
  sync
  measure "$casync_name" time_cmd casync extract --seed="$old_file" \
    --store="${base_url}casync/store.castr" "${base_url}casync/new.caibx" "$work/out/casync.pak"
  check "$work/out/casync.pak" "$casync_name"
}
run_zsync() {
  rm -f "$work/out/zsync.pak" "$work/out/zsync.pak.part"
  sync
  # zsync writes its output and scratch file in the current folder.
  # shellcheck disable=SC2016  # expanded by the inner bash
  measure "$zsync_name" time_cmd bash -c 'cd "$1" && zsync -q -i "$2" -o zsync.pak "$3"' \
    zsync "$work/out" "$old_file" "${base_url}zsync/package.pak.zsync"
  check "$work/out/zsync.pak" "$zsync_name"
}
run_fresh() {
  local name="$1" tree="$2"
  rm -rf "$work/target"
  sync
  url="$base_url$tree/"
  measure "$name" time_vtupdate "$work/target"
  check "$work/target/$pak" "$name"
}

run_fresh_ours() { run_fresh "$fresh" ours; }
run_fresh_whole() { run_fresh "$whole" whole; }
run_fresh_base() {
  local vtupdate="$base_vtupdate"  # time_vtupdate runs $vtupdate
  run_fresh "$base" whole
}
# Each round starts one tool later, so that no tool always follows the same one.
runs=(run_ours run_casync run_zsync run_fresh_ours run_fresh_whole)
[ -z "$base_vtupdate" ] || runs+=(run_fresh_base)
# The earlier client must still install the tree with chunk data, as whole objects.
compatible=""
if [ -n "$base_vtupdate" ]; then
  vtupdate="$base_vtupdate" run_fresh "earlier vtupdate, chunked tree" ours
  compatible="  the earlier vtupdate installed the tree with chunk data byte for byte"
  compatible+=" (${requests[earlier vtupdate, chunked tree]} requests)."
fi
for r in $(seq 1 "$rounds"); do
  echo "round $r of $rounds"
  for k in "${!runs[@]}"; do "${runs[(k + r - 1) % ${#runs[@]}]}"; done
done
rm -rf "$work/target" "$work/out"
if [ -n "${VT_BENCH_LOG:-}" ]; then cp "$log" "$VT_BENCH_LOG"; fi

# ---- report -------------------------------------------------------------------------------

in_mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }
# Prints "met" when $1 <op> $2 (awk expressions of numbers), MISSED otherwise.
verdict() { awk -v a="$1" -v b="$2" -v op="$3" \
  'BEGIN { print ((op == "<" ? a < b : a <= b) ? "met" : "MISSED") }'; }
row() {
  printf '  %-32s %12s %9s %6s %6s %9s\n' "$1" "$(in_mib "${sent[$1]}")" "${requests[$1]}" \
    "${partial[$1]}" "${connections[$1]}" "$(seconds "$1")"
}

echo
echo "== delta update of a $mib MiB package ($content) from nginx on 127.0.0.1 (warm cache, best of $rounds)"
echo "   changes: 16 x 64 KiB edits, 1 MiB inserted at 10 MiB, 2 MiB appended ($regions regions, $changed_mib MiB of new bytes)"
echo "   machine: $(nproc) cores, $(uname -sr); nginx $(nginx -v 2>&1 | sed 's|.*/||'), $(casync --version | head -1), zsync $(zsync -V 2>&1 | head -1 | awk '{ print $2 }')"
printf '  %-32s %12s %9s %6s %6s %9s\n' "tool" "MiB sent" "requests" "206s" "conns" "best s"
row "$ours"
row "$casync_name"
row "$zsync_name"
row "$fresh"
row "$whole"
[ -z "$base_vtupdate" ] || row "$base"
[ -z "$compatible" ] || echo "$compatible"
echo
echo "  ours flushes every placed file and its folder; casync and zsync do not flush."
[ "$chunks_switch" = 1 ] ||
  echo "  vtpublish has no --chunks switch yet: the whole-object tree is packed the same way as ours."
echo "  vtpublish pack of the new build:"
while IFS= read -r line; do echo "    $line"; done <<<"$pack_report"
if [ -n "$ours_chunks" ]; then
  read -r new_bytes new_count all_count file_bytes new_stored <<<"$ours_chunks"
  echo "  chunks new in this build: ours $(in_mib "$new_bytes") MiB ($(in_mib "$new_stored")" \
    "MiB stored) in $new_count chunks (of" \
    "$all_count, average $((file_bytes / all_count / 1024)) KiB); casync $(in_mib "$casync_growth")" \
    "MiB stored in $casync_new_chunks chunks (of $casync_all_chunks, average" \
    "$(($(stat -c %s "$new_file") / casync_all_chunks / 1024)) KiB)"
else
  echo "  chunks new in this build: ours none (no chunk index written); casync" \
    "$(in_mib "$casync_growth") MiB in $casync_new_chunks chunks"
fi

r="$(awk -v a="${sent[$ours]}" -v b="${sent[$casync_name]}" 'BEGIN { printf "%.2f", a / b }')"
printf '  goal: bytes at most 1.2 x casync'"'"'s: %s: %s\n' "$r" "$(verdict "$r" 1.2 '<=')"
limit=$((2 * regions + request_slack))
printf '  goal: requests at most 2 x %d regions + %d = %d: %d: %s\n' "$regions" "$request_slack" \
  "$limit" "${requests[$ours]}" "$(verdict "${requests[$ours]}" "$limit" '<=')"
print_goal "wall time below casync's" "$ours" "$casync_name" 1 "<"
print_goal "wall time below zsync's" "$ours" "$zsync_name" 1 "<"
echo "  tree growth: ours $(in_mib "$ours_growth") MiB (whole objects $(in_mib "$ours_whole") MiB," \
  "the rest $(in_mib $((ours_growth - ours_whole))) MiB); casync store $(in_mib "$casync_growth") MiB" \
  "(+ index $(in_mib "$casync_index") MiB); zsync control file $(in_mib "$zsync_control") MiB"
limit="$(awk -v c="$casync_growth" -v w="$ours_whole" 'BEGIN { printf "%.0f", 1.2 * c + w }')"
printf '  goal: tree growth at most 1.2 x casync'"'"'s + whole objects = %s MiB: %s MiB: %s\n' \
  "$(in_mib "$limit")" "$(in_mib "$ours_growth")" "$(verdict "$ours_growth" "$limit" '<=')"
if [ "$plain_whole" != "$ours_whole" ]; then
  # The objects as `--chunks never` writes them are the stricter reading of "whole objects".
  limit="$(awk -v c="$casync_growth" -v w="$plain_whole" 'BEGIN { printf "%.0f", 1.2 * c + w }')"
  printf '  goal: (strict) the same with the objects of --chunks never (%s MiB) = %s MiB: %s\n' \
    "$(in_mib "$plain_whole")" "$(in_mib "$limit")" "$(verdict "$ours_growth" "$limit" '<=')"
fi
if [ -n "$base_vtupdate" ]; then
  print_goal "fresh install at most 1.1 x the earlier client's whole-object install" "$fresh" \
    "$base" 1.1
  print_goal "(reference) fresh install beside the whole-object tree" "$fresh" "$whole" 1.1
else
  print_goal "fresh install at most 1.1 x the whole-object install" "$fresh" "$whole" 1.1
fi
echo "  load: $(uptime | sed 's/.*load average/load average/')"
