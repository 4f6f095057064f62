#!/usr/bin/env bash
# Nothing half done under faults, with the real vtupdate against nginx:
# - two runs of one folder started together, twenty rounds, while a watcher reads every file
#   throughout: one run updates, the other is told at once, and no file is ever anything but
#   its old or its new version; the lock is free after the winner ends and after a SIGKILL;
# - names at the file system's limit (255 bytes), plain and compressed;
# - a full disk, on a small tmpfs in a private mount namespace: refused before any transfer
#   when the update cannot fit, and, when another writer fills the disk during the transfer,
#   a failure that names the file and leaves no ".part"/".zpart", the record unchanged, and a
#   complete run once there is room again.
#
#   tests/e2e/faults.sh [VTUPDATE_DIR [VTPUBLISH_DIR]]   (or VT_BIN_DIR=build/debug)
#
# Exit status: 0 passed, 1 failed, 77 nginx or openssl is missing.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=lib.sh
source "$HERE/lib.sh"

BUSY="Update failed: another update of this game folder is running - try again when it has finished"

# Notes the SHA-256 of every file of each build folder given, for mixed_file.
declare -A HASHES=()
FILES=()
note_builds() {
  local b f h
  for b in "$@"; do
    while IFS= read -r f; do
      h="$(sha256sum <"$b/$f")"
      HASHES["$b|$f"]="${h%% *}"
    done < <(cd "$b" && find . -type f)
  done
  mapfile -t FILES < <(for b in "$@"; do (cd "$b" && find . -type f); done | sort -u)
}

# Every file of DIR that note_builds knows is its version in one of the builds given, or
# absent where one of them lacks it; prints the first that is not. Each file is read once, so a
# rename over it meanwhile cannot pass for a mix.
mixed_file() {
  local dir="$1" builds=("${@:2}") f b h ok
  for f in "${FILES[@]}"; do
    ok=0
    if h="$({ sha256sum <"$dir/$f"; } 2>/dev/null)"; then
      h="${h%% *}"
      for b in "${builds[@]}"; do
        [ "${HASHES["$b|$f"]:-}" != "$h" ] || ok=1
      done
    else
      for b in "${builds[@]}"; do
        [ -n "${HASHES["$b|$f"]:-}" ] || ok=1
      done
    fi
    [ "$ok" = 1 ] || { echo "$f"; return 0; }
  done
  return 1
}

# No receiving file anywhere below DIR.
no_receiving_files() {
  local left
  left="$(find "$1" \( -name '*.part' -o -name '*.zpart' \) -print)"
  [ -z "$left" ] || { e2e_log "left behind: $left"; return 1; }
}

# ---- inside the private mount namespace -----------------------------------------------------

# Runs as root in a mount namespace of its own: an 8 MiB tmpfs over $W/small, gone with it.
disk_full_cases() {
  W="$1"
  URL="$2"
  SLOW="$3"
  mkdir -p "$W/small"
  mount -t tmpfs -o size=8m tmpfs "$W/small"
  note_builds "$W/game-a" "$W/game-b"

  refused_up_front() {
    local before rc=0
    before="$(e2e_request_count)"
    "$VTUPDATE" -dir "$W/small/big" -url "$URL/big/" >"$W/full1.out" 2>"$W/full1.err" || rc=$?
    [ "$rc" -eq 1 ] || { e2e_log "exit $rc"; cat "$W/full1.err" >&2; return 1; }
    grep -Eqx 'Update failed: not enough free space: the update needs [0-9]+\.[0-9] MB more, [0-9]+\.[0-9] MB are free' \
      "$W/full1.err" || { cat "$W/full1.err" >&2; return 1; }
    ! tail -n +$((before + 1)) "$E2E_ACCESS_LOG" | grep ' /o/' >/dev/null ||
      { e2e_log "an object was requested"; return 1; }
    [ ! -e "$W/small/big/installed.json" ] && no_receiving_files "$W/small"
  }
  e2e_case "a full disk is refused before any transfer, with the figures" refused_up_front
  rm -rf "$W/small/big"

  filled_during_the_transfer() {
    local pid rc=0 record
    "$VTUPDATE" -dir "$W/small/g" -url "$URL/a/" >/dev/null 2>"$W/full2.err" ||
      { cat "$W/full2.err" >&2; return 1; }
    record="$(sha256sum <"$W/small/g/installed.json")"
    e2e_start_until_downloading "$W/full3.out" "$VTUPDATE" -dir "$W/small/g" -url "$SLOW/b/" ||
      { e2e_log "no download began"; return 1; }
    pid="$E2E_BUSY_PID"
    # Another writer takes what is left.
    dd if=/dev/zero of="$W/small/filler" bs=65536 status=none 2>/dev/null || true
    wait "$pid" || rc=$?
    e2e_untrack "$pid"
    [ "$rc" -eq 1 ] || { e2e_log "exit $rc"; cat "$W/full3.out.err" >&2; return 1; }
    grep -Eq "^Update failed: $W/small/g/.*\.z?part: No space left on device$" "$W/full3.out.err" ||
      { cat "$W/full3.out.err" >&2; return 1; }
    no_receiving_files "$W/small" || return 1
    [ "$(sha256sum <"$W/small/g/installed.json")" = "$record" ] || return 1
    ! mixed_file "$W/small/g" "$W/game-a" "$W/game-b" || return 1
    rm "$W/small/filler"
    "$VTUPDATE" -dir "$W/small/g" -url "$URL/b/" >/dev/null 2>"$W/full4.err" ||
      { cat "$W/full4.err" >&2; return 1; }
    e2e_same_tree "$W/game-b" "$W/small/g" --no-record
  }
  e2e_case "a disk filled during the transfer: no receiving file left, record kept, then done" \
    filled_during_the_transfer
  umount "$W/small"
  [ "$E2E_FAILURES" -eq 0 ]
}

if [ "${1:-}" = --disk-full ]; then
  shift
  E2E_ACCESS_LOG="$4"
  VTUPDATE="$5"
  disk_full_cases "$@"
  exit
fi

# ---- the builds -----------------------------------------------------------------------------

e2e_require nginx openssl
e2e_require_dev_key
e2e_setup
e2e_find_programs "$@"
KEY="$(e2e_dev_key)"
W="$E2E_WORK"

# A: four files of 600 KiB (two compressible) and four small ones; B changes the big ones and
# two small ones, drops one and adds one. nginx sends the first 256 KiB of a response at once and
# the rest at 256 KiB/s, so B takes more than a second through the slow path and two runs
# started together overlap.
for i in 1 2 3 4; do
  kind=random
  [ $((i % 2)) -eq 0 ] && kind=text
  e2e_make_file "$W/game-a/paks/p$i.pak" 614400 "$kind" "p$i-a"
  e2e_make_file "$W/game-a/d$((i % 2))/f$i.dat" 20480 text "f$i-a"
done
cp -a "$W/game-a" "$W/game-b"
for i in 1 2 3 4; do
  kind=random
  [ $((i % 2)) -eq 0 ] && kind=text
  e2e_make_file "$W/game-b/paks/p$i.pak" $((614400 + i)) "$kind" "p$i-b"
done
e2e_make_file "$W/game-b/d1/f1.dat" 20000 text f1-b
e2e_make_file "$W/game-b/d0/f2.dat" 30000 random f2-b
rm "$W/game-b/d1/f3.dat"
e2e_make_file "$W/game-b/new/f9.dat" 20480 random f9-b
note_builds "$W/game-a" "$W/game-b"
# A fresh install of "big" needs more than the small disk holds.
e2e_make_file "$W/game-big/huge.bin" $((10 * 1048576)) zero huge
"$VTPUBLISH" pack "$W/game-a" "$W/srv/a" --build 1 --key "$KEY" >/dev/null
"$VTPUBLISH" pack "$W/game-b" "$W/srv/b" --build 2 --key "$KEY" >/dev/null
"$VTPUBLISH" pack "$W/game-big" "$W/srv/big" --build 1 --key "$KEY" >/dev/null
e2e_start_nginx "$W/srv"
URL="http://127.0.0.1:$E2E_HTTP_PORT"
SLOW="$URL/slow"

# ---- two runs of one folder -----------------------------------------------------------------

two_runs_started_together() {
  local round watcher a rca rcb enda endb start end pids
  "$VTUPDATE" -dir "$W/g" -url "$URL/a/" >/dev/null 2>&1 || return 1
  # The watcher reads every file again and again until told to stop, and notes any that is
  # neither its A nor its B version.
  : >"$W/mixed"
  (
    while [ ! -e "$W/stop-watching" ]; do
      mixed_file "$W/g" "$W/game-a" "$W/game-b" >>"$W/mixed" || true
      # A breath between passes leaves the machine to the runs and to other tests.
      sleep 0.01
    done
  ) &
  watcher=$!
  e2e_track "$watcher"
  for round in $(seq 1 20); do
    start="$(date +%s%N)"
    # Each run notes its exit status and the moment it ended.
    pids=()
    for a in a b; do
      (
        rc=0
        "$VTUPDATE" -dir "$W/g" -url "$SLOW/b/" >/dev/null 2>"$W/$a.err" || rc=$?
        echo "$rc $(date +%s%N)" >"$W/$a.end"
      ) &
      pids+=($!)
    done
    wait "${pids[@]}"
    read -r rca enda <"$W/a.end"
    read -r rcb endb <"$W/b.end"
    # One updated; the other was refused with the message, and ended before the winner.
    if ! { [ "$rca" = 0 ] && [ "$rcb" = 1 ] && [ "$(cat "$W/b.err")" = "$BUSY" ] &&
      [ "$endb" -lt "$enda" ]; } &&
      ! { [ "$rca" = 1 ] && [ "$rcb" = 0 ] && [ "$(cat "$W/a.err")" = "$BUSY" ] &&
        [ "$enda" -lt "$endb" ]; }; then
      e2e_log "round $round: exit $rca and $rcb: $(cat "$W/a.err" "$W/b.err")"
      touch "$W/stop-watching"
      return 1
    fi
    end="$(date +%s%N)"
    e2e_same_tree "$W/game-b" "$W/g" --no-record || return 1
    # Back to A for the next round: the winner's lock is free once it has ended.
    "$VTUPDATE" -dir "$W/g" -url "$URL/a/" >/dev/null 2>"$W/back.err" ||
      { cat "$W/back.err" >&2; return 1; }
    e2e_log "round $round: $(((end - start) / 1000000)) ms"
  done
  touch "$W/stop-watching"
  wait "$watcher" || true
  e2e_untrack "$watcher"
  rm -f "$W/stop-watching"
  [ ! -s "$W/mixed" ] || { e2e_log "mixed files: $(sort -u "$W/mixed")"; return 1; }
  # No file of the run's own stays behind after a normal end.
  [ -z "$(cd "$W/g" && find . -name 'vtlaunch.*' ! -name vtlaunch.trust)" ] && no_receiving_files "$W/g"
}
e2e_case "two runs started together, twenty rounds: one updates, the other is told at once" \
  two_runs_started_together

lock_free_after_sigkill() {
  local pid
  e2e_start_until_downloading "$W/kill.out" "$VTUPDATE" -dir "$W/g" -url "$SLOW/b/" ||
    { e2e_log "no download began"; return 1; }
  pid="$E2E_BUSY_PID"
  kill -KILL "$pid" || { e2e_log "the run ended before the kill"; return 1; }
  wait "$pid" 2>/dev/null || true
  e2e_untrack "$pid"
  "$VTUPDATE" -dir "$W/g" -url "$URL/b/" >/dev/null 2>"$W/after-kill.err" ||
    { cat "$W/after-kill.err" >&2; return 1; }
  e2e_same_tree "$W/game-b" "$W/g" --no-record
}
e2e_case "the lock is free after a SIGKILL of its holder" lock_free_after_sigkill

# ---- names at the limit ---------------------------------------------------------------------

longest_names() {
  local name
  name="$(printf 'n%.0s' $(seq 1 251))"
  e2e_make_file "$W/game-long/$name.dat" 200000 random long-plain
  e2e_make_file "$W/game-long/d/$name.txt" 200000 text long-text
  "$VTPUBLISH" pack "$W/game-long" "$W/srv/long" --build 1 --key "$KEY" >/dev/null
  [ "$(find "$W/srv/long" -name '*.z' | wc -l)" -ge 1 ] || { e2e_log "nothing compressed"; return 1; }
  "$VTUPDATE" -dir "$W/long" -url "$URL/long/" >/dev/null 2>"$W/long.err" ||
    { cat "$W/long.err" >&2; return 1; }
  e2e_same_tree "$W/game-long" "$W/long" --no-record && no_receiving_files "$W/long"
}
e2e_case "255-byte names installed, plain and compressed" longest_names

# ---- a full disk ----------------------------------------------------------------------------

if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  rc=0
  unshare -m bash "$HERE/faults.sh" --disk-full "$W" "$URL" "$SLOW" "$E2E_ACCESS_LOG" \
    "$VTUPDATE" || rc=$?
  E2E_CASES=$((E2E_CASES + 2))
  [ "$rc" -eq 0 ] || E2E_FAILURES=$((E2E_FAILURES + 1))
else
  echo "SKIP: a full disk (no private mount namespace for a small tmpfs)"
fi

e2e_finish
