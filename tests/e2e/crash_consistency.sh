#!/usr/bin/env bash
# Crash consistency: vtupdate updating a game folder from build A to build B is killed with
# SIGKILL at random moments, again and again. After every kill each file of A and B in the
# folder must be its A or its B version (absent only when B adds it or drops it), and nothing
# but those files, installed.json, vtlaunch.trust and .part/.zpart leftovers may be there. A last full run must
# then leave exactly B, and the run after it must find the folder up to date.
#
# Each run goes on from what the last kill left. Kills come at a random moment within the time
# of one full A to B run, except every fifth, which comes as soon as the last download is
# reported (into the removal of dropped files and the writing of the record). After four kills
# in a row, or after a run that finished before its kill, the folder is brought back to A, so
# that later kills still land among the downloads.
#
#   tests/e2e/crash_consistency.sh [VTUPDATE_DIR [VTPUBLISH_DIR]]   (or VT_BIN_DIR=build/debug)
#
# VT_E2E_SEED=N repeats a run (the seed is printed first); VT_E2E_ROUNDS sets the number of kills
# (default 20). Exit status: 0 passed, 1 failed, 77 nginx or openssl is missing.
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

e2e_require nginx openssl
e2e_require_dev_key
e2e_setup
e2e_find_programs "$@"
KEY="$(e2e_dev_key)"
W="$E2E_WORK"

SEED="${VT_E2E_SEED:-$(( $(date +%s%N) % 1000000000 ))}"
ROUNDS="${VT_E2E_ROUNDS:-20}"
# Kills in a row before the folder goes back to A (later runs have ever less left to do).
CHAIN=4
echo "seed: $SEED (repeat with VT_E2E_SEED=$SEED), rounds: $ROUNDS"
RANDOM="$SEED"

now_ms() {
  echo $(($(date +%s%N) / 1000000))
}

# ---- the builds -----------------------------------------------------------------------------

# A: six files of 3 to 6 MiB (half of them compressible) and 230 small ones in 12 folders.
BIG_MIB=(0 3 3 4 4 5 6)
make_build_a() {
  local g="$1" i kind
  for i in 1 2 3 4 5 6; do
    kind=random
    [ $((i % 2)) -eq 0 ] && kind=text
    e2e_make_file "$g/paks/big$i.pak" $((BIG_MIB[i] * 1048576)) "$kind" "big$i-a"
  done
  for i in $(seq 1 230); do
    kind=random
    [ $((i % 3)) -eq 0 ] && kind=text
    e2e_make_file "$g/d$((i % 12))/f$i.dat" $(((i * 2654435761) % 65536)) "$kind" "f$i-a"
  done
}

# B: three big files changed (one of them compressible, one edited in place), one dropped, one
# added; every second
# small file changed (some to a new size), every tenth one of the rest dropped, 25 added.
make_build_b() {
  local a="$1" g="$2" i kind
  cp -a "$a/." "$g/"
  e2e_make_file "$g/paks/big1.pak" $((3 * 1048576)) random big1-b
  e2e_make_file "$g/paks/big4.pak" $((5 * 1048576)) text big4-b
  rm "$g/paks/big5.pak"
  e2e_make_file "$g/paks/big7.pak" $((4 * 1048576)) random big7-b
  # big6 edited in place and grown: big enough for chunk data, so its update assembles the new
  # version from the old one's chunks and the fetched ones (kills land in that too).
  local at
  for at in 3 40 77; do
    e2e_make_file "$W/edit.bin" 65536 random "big6-edit$at"
    dd if="$W/edit.bin" of="$g/paks/big6.pak" bs=65536 seek="$at" conv=notrunc status=none
  done
  e2e_make_file "$W/edit.bin" 300000 random big6-append
  cat "$W/edit.bin" >>"$g/paks/big6.pak"
  rm "$W/edit.bin"
  for i in $(seq 1 230); do
    kind=random
    [ $((i % 3)) -eq 0 ] && kind=text
    if [ $((i % 2)) -eq 0 ]; then
      e2e_make_file "$g/d$((i % 12))/f$i.dat" $(((i * 2654435761 + i % 4) % 65536)) "$kind" \
        "f$i-b"
    elif [ $((i % 10)) -eq 1 ]; then
      rm "$g/d$((i % 12))/f$i.dat"
    fi
  done
  for i in $(seq 1 25); do
    e2e_make_file "$g/new$((i % 3))/g$i.dat" $((i * 1999)) text "g$i"
  done
}

T0="$(now_ms)"
make_build_a "$W/game-a"
make_build_b "$W/game-a" "$W/game-b"

# One object store; each build's manifest in its own folder that links to it.
publish() {
  local build="$1" src="$2" name="$3"
  "$VTPUBLISH" pack "$src" "$W/store" --build "$build" --key "$KEY" >"$W/pack-$name.log" 2>&1 ||
    { cat "$W/pack-$name.log" >&2; return 1; }
  mkdir -p "$W/srv/$name"
  cp "$W/store/version" "$W/store/version.sig" "$W/srv/$name/"
  ln -s ../../store/lists "$W/srv/$name/lists"
  ln -s ../../store/o "$W/srv/$name/o"
  "$VTPUBLISH" verify "$W/srv/$name" >"$W/verify-$name.log" 2>&1 ||
    { cat "$W/verify-$name.log" >&2; return 1; }
}
publish 200 "$W/game-a" a || e2e_die "publishing A failed"
publish 201 "$W/game-b" b || e2e_die "publishing B failed"
e2e_start_nginx "$W/srv" ""
URL_A="http://127.0.0.1:$E2E_HTTP_PORT/a/"
URL_B="http://127.0.0.1:$E2E_HTTP_PORT/b/"

# Path -> SHA-256 of each build.
declare -A HA HB
while read -r h p; do HA["$p"]="$h"; done < <(e2e_tree_list "$W/game-a")
while read -r h p; do HB["$p"]="$h"; done < <(e2e_tree_list "$W/game-b")
echo "A: ${#HA[@]} files, B: ${#HB[@]} files, $(du -sm "$W/store" | cut -f1) MiB of objects;" \
  "made and published in $(($(now_ms) - T0)) ms"

# ---- checks ---------------------------------------------------------------------------------

# Looks at every file of DIR once. Sets CONSISTENT (1 when every file is allowed after a crash,
# see the top of this file), LEFTOVERS (the .part/.zpart files), AT_A and AT_B (files equal to
# their A or B version), ONLY_A (files that B drops, still there) and ONLY_B (files that B adds,
# already there).
scan() {
  local dir="$1" h p base
  local -A seen=()
  CONSISTENT=1
  LEFTOVERS=0
  AT_A=0
  AT_B=0
  ONLY_A=0
  ONLY_B=0
  while read -r h p; do
    seen["$p"]=1
    case "$p" in
      # The record and the memory of trust are written beside themselves and renamed over, so
      # each may leave its own .part.
      ./installed.json | ./installed.json.part | ./vtlaunch.trust | ./vtlaunch.trust.part) ;;
      *.part | *.zpart)
        base="${p%.part}"
        base="${base%.zpart}"
        if [ -n "${HA[$base]:-}${HB[$base]:-}" ]; then
          LEFTOVERS=$((LEFTOVERS + 1))
        else
          e2e_log "unexpected leftover $p"
          CONSISTENT=0
        fi
        ;;
      *)
        [ "$h" != "${HA[$p]:-}" ] || AT_A=$((AT_A + 1))
        [ "$h" != "${HB[$p]:-}" ] || AT_B=$((AT_B + 1))
        [ -n "${HB[$p]:-}" ] || [ -z "${HA[$p]:-}" ] || ONLY_A=$((ONLY_A + 1))
        [ -n "${HA[$p]:-}" ] || [ -z "${HB[$p]:-}" ] || ONLY_B=$((ONLY_B + 1))
        if [ -z "${HA[$p]:-}${HB[$p]:-}" ]; then
          e2e_log "unexpected file $p"
          CONSISTENT=0
        elif [ "$h" != "${HA[$p]:-}" ] && [ "$h" != "${HB[$p]:-}" ]; then
          e2e_log "neither A nor B: $p ($h)"
          CONSISTENT=0
        fi
        ;;
    esac
  done < <(e2e_tree_list "$dir")
  for p in "${!HA[@]}"; do
    if [ -n "${HB[$p]:-}" ] && [ -z "${seen[$p]:-}" ]; then
      e2e_log "missing $p (in A and in B)"
      CONSISTENT=0
    fi
  done
}

# Installs A into DIR. Files that B adds may stay (a record of A does not name them), and so
# may leftovers of files that A keeps as they are. A is the older release: the folder's memory
# of B goes first, or the launcher would refuse A as a replay.
install_a() {
  rm -f "$1/vtlaunch.trust"
  "$VTUPDATE" -dir "$1" -url "$URL_A" >"$W/install-a.out" 2>&1 ||
    { cat "$W/install-a.out" >&2; return 1; }
  scan "$1"
  if [ "$CONSISTENT" -ne 1 ] || [ "$AT_A" -ne "${#HA[@]}" ]; then
    e2e_log "installing A left $AT_A of ${#HA[@]} files at A"
    return 1
  fi
}

# ---- the length of one full A to B run ------------------------------------------------------

install_a "$W/probe" || e2e_die "installing A failed"
start="$(now_ms)"
"$VTUPDATE" -dir "$W/probe" -url "$URL_B" >"$W/probe.out" 2>&1 ||
  { cat "$W/probe.out" >&2; e2e_die "the A to B run failed"; }
FULL_MS=$(($(now_ms) - start))
e2e_same_tree "$W/game-b" "$W/probe" --no-record || e2e_die "the A to B run did not give B"
grep -q "^Comparing paks/big6.pak with the new version" "$W/probe.out" ||
  e2e_die "the A to B run did not assemble paks/big6.pak from chunks"
echo "one full A to B run: $FULL_MS ms; kills are spread over [0, $FULL_MS] ms"
rm -rf "$W/probe"

# ---- the kills ------------------------------------------------------------------------------

DIR="$W/game"
install_a "$DIR" || e2e_die "installing A failed"
killed=0
finished=0
resets=0
chain=0
broken=0
for round in $(seq 1 "$ROUNDS"); do
  if [ "$chain" -ge "$CHAIN" ]; then
    install_a "$DIR" || { broken=1; break; }
    # A record of A does not name what a cut-off run placed for B, nor its leftovers: they stay.
    echo "back to A: $ONLY_B files that only B has and $LEFTOVERS leftovers remain"
    resets=$((resets + 1))
    chain=0
  fi
  delay_ms=$(((RANDOM * 32768 + RANDOM) % (FULL_MS + 1)))
  start="$(now_ms)"
  "$VTUPDATE" -dir "$DIR" -url "$URL_B" >"$W/round.out" 2>"$W/round.err" &
  pid=$!
  e2e_track "$pid"
  if [ $((round % 5)) -eq 0 ]; then
    # Every fifth kill aims at the end of the run: the removal of dropped files and the record.
    mode="at end"
    while kill -0 "$pid" 2>/dev/null &&
      ! grep -q 'Downloading the update: \([0-9]*\) of \1 files' "$W/round.out"; do
      :
    done
  else
    mode="$(printf 'at %4d ms' "$delay_ms")"
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  fi
  kill -KILL "$pid" 2>/dev/null || true
  rc=0
  # Braces so that the shell's "Killed" notice goes to /dev/null too.
  { wait "$pid"; } 2>/dev/null || rc=$?
  e2e_untrack "$pid"
  last="$(tail -n 1 "$W/round.out")"
  case "$rc" in
    137)
      killed=$((killed + 1))
      chain=$((chain + 1))
      outcome="killed"
      ;;
    0)
      finished=$((finished + 1))
      chain="$CHAIN"
      outcome="finished"
      ;;
    *)
      e2e_log "round $round: exit status $rc: $(cat "$W/round.err")"
      broken=1
      break
      ;;
  esac
  scan "$DIR"
  printf 'round %2d: %-8s %-10s (%4d ms), %3d/%d files at B, %d dropped ones left,' \
    "$round" "$outcome" "$mode" $(($(now_ms) - start)) "$AT_B" "${#HB[@]}" "$ONLY_A"
  printf ' %d leftovers; last line: %s\n' "$LEFTOVERS" "$last"
  if [ "$CONSISTENT" -ne 1 ]; then
    e2e_log "round $round: inconsistent folder after a kill at $delay_ms ms"
    broken=1
    break
  fi
  if [ "$rc" -eq 0 ] && ! e2e_same_tree "$W/game-b" "$DIR" --no-record; then
    e2e_log "round $round: a finished run did not leave B"
    broken=1
    break
  fi
done
echo "kills: $killed landed, $finished runs had finished, $resets times back to A;" \
  "$(($(now_ms) - T0)) ms so far"
e2e_case "after every kill each file is its A or B version, nothing else is there" \
  test "$broken" -eq 0

# ---- recovery -------------------------------------------------------------------------------

recovers() {
  "$VTUPDATE" -dir "$DIR" -url "$URL_B" >"$W/final.out" 2>&1 ||
    { cat "$W/final.out" >&2; return 1; }
  e2e_same_tree "$W/game-b" "$DIR" --no-record && e2e_has_bom "$DIR/installed.json"
}
e2e_case "one full run then leaves exactly B (no leftovers) and writes the record" recovers

up_to_date() {
  local before lines
  before="$(e2e_request_count)"
  "$VTUPDATE" -dir "$DIR" -url "$URL_B" >"$W/again.out" 2>&1 || return 1
  grep -qx "Up to date (build 201)." "$W/again.out" || return 1
  lines="$(tail -n +"$((before + 1))" "$E2E_ACCESS_LOG")"
  if [ "$(printf '%s\n' "$lines" | grep -c .)" -ne 2 ] ||
    ! printf '%s\n' "$lines" | grep '^GET /b/version?t=' >/dev/null ||
    ! printf '%s\n' "$lines" | grep '^GET /b/version\.sig?t=' >/dev/null; then
    e2e_log "requests: $lines"
    return 1
  fi
}
e2e_case "the next run is up to date with only the two manifest requests" up_to_date

e2e_finish
