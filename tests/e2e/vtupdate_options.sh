#!/usr/bin/env bash
# vtupdate as an operator's script drives it: malformed command lines refused with exit 2 and
# nothing touched, --check leaving the folder byte for byte as it was (and not making a missing
# one), --json read back by a JSON parser, --verify repairing a file changed in place, --retries
# against a server that fails twice, --limit-rate measured, and SIGTERM stopping like Ctrl-C.
#
#   tests/e2e/vtupdate_options.sh [VTUPDATE_DIR [VTPUBLISH_DIR]]   (or VT_BIN_DIR=build/debug)
#
# VTUPDATE_WRAP (e.g. "wine") runs the program through a wrapper and VTUPDATE_PATH maps a local
# path to the one the program sees; wine_tools.sh uses both for vtupdate.exe.
#
# Exit status: 0 all cases passed, 1 a case failed, 77 nginx, openssl or python3 is missing.
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

e2e_require nginx openssl python3
e2e_require_dev_key
e2e_setup
if [ -z "${VTUPDATE:-}" ] || [ -z "${VTPUBLISH:-}" ]; then
  e2e_find_programs "$@"
fi
KEY="$(e2e_dev_key)"
W="$E2E_WORK"
# Large enough to be measured, small enough for a debug build under Wine.
LIMIT_MB="${VT_E2E_LIMIT_MB:-4}"
# The stop a service manager sends; Windows programs have Ctrl-C only (VT_E2E_STOP_SIGNAL=INT).
STOP_SIGNAL="${VT_E2E_STOP_SIGNAL:-TERM}"

# The path the program sees for a local one.
ppath() {
  if [ -n "${VTUPDATE_PATH:-}" ]; then "$VTUPDATE_PATH" "$1"; else printf '%s\n' "$1"; fi
}

# vtupdate with its output kept: run NAME ARGS...; RC holds the exit status, the output is in
# $W/NAME.out and $W/NAME.err (carriage returns dropped, as Windows writes them).
RC=0
run() {
  local name="$1"
  shift
  RC=0
  # shellcheck disable=SC2086  # the wrapper may be empty
  ${VTUPDATE_WRAP:-} "$VTUPDATE" "$@" >"$W/$name.raw" 2>"$W/$name.err.raw" || RC=$?
  tr -d '\r' <"$W/$name.raw" >"$W/$name.out"
  tr -d '\r' <"$W/$name.err.raw" >"$W/$name.err"
}

show() {
  e2e_log "exit status $RC; stdout:"
  head -c 2000 "$W/$1.out" >&2
  e2e_log "stderr:"
  head -c 2000 "$W/$1.err" >&2
  return 1
}

# Everything about a folder that a change could touch: names, types, sizes, times, modes and
# contents; "absent" when there is no such folder.
snapshot() {
  if [ ! -e "$1" ]; then
    echo absent
    return
  fi
  (cd "$1" && find . -printf '%p %y %s %T@ %m\n' | LC_ALL=C sort && e2e_tree_list .)
}

json() {
  python3 "$HERE/json_lines.py" "$@"
}

# ---- the builds -----------------------------------------------------------------------------

make_build_a() {
  local g="$1" i
  e2e_make_file "$g/vt.exe" 200000 random exe-a
  e2e_make_file "$g/data/a.pak" $((1536 * 1024)) text apak-a
  e2e_make_file "$g/data/b.pak" 300000 random bpak-a
  e2e_make_file "$g/Save Games/read me.txt" 1200 text readme-a
  e2e_make_file "$g/old/gone.txt" 500 text gone
  for i in 1 2 3 4 5 6; do
    e2e_make_file "$g/maps/m$i.map" $((i * 7919)) text "map$i-a"
  done
}

make_build_b() {
  cp -a "$1/." "$2/"
  e2e_make_file "$2/vt.exe" 200000 random exe-b
  e2e_make_file "$2/data/a.pak" $((1600 * 1024)) text apak-b
  e2e_make_file "$2/new/n1.bin" 90000 random new1
  rm -r "$2/old"
}

pack() {
  "$VTPUBLISH" pack "$1" "$2" --build "$3" --key "$KEY" >"$W/pack-$3.log" 2>&1 ||
    { cat "$W/pack-$3.log" >&2; return 1; }
}

SRV="$W/srv"
make_build_a "$W/game-a"
make_build_b "$W/game-a" "$W/game-b"
pack "$W/game-a" "$SRV" 100 || e2e_die "packing build A failed"
e2e_start_nginx "$SRV" ""
URL="http://127.0.0.1:$E2E_HTTP_PORT/"
# A port where nothing listens, for failures.
DEAD_URL="http://127.0.0.1:$(e2e_random_free_port)/"

requests_since() {
  tail -n +"$(($1 + 1))" "$E2E_ACCESS_LOG"
}

# ---- malformed command lines ----------------------------------------------------------------

mkdir -p "$W/untouched/data"
echo keep >"$W/untouched/data/file.txt"
UNTOUCHED="$(ppath "$W/untouched")"
ABSENT="$(ppath "$W/absent")"

# Each row: the words the message must hold, then the command line.
malformed_rows() {
  cat <<EOF
option -dir needs a value	-url	$URL	-dir
option --url needs a value	--dir	$ABSENT	--url
unknown option "-x"	-x
unknown option "--dirr"	--dirr	$ABSENT	-url	$URL
option --dir needs a value (a folder), not the option "--url"	--dir	--url	$URL
option -url needs a value (a URL), not the option "-check"	-dir	$ABSENT	-url	-check
unexpected argument "stray"	-dir	$ABSENT	-url	$URL	stray
unexpected argument "$URL"	-dir	$ABSENT	$URL
option -dir is given twice	-dir	$ABSENT	-dir	$UNTOUCHED	-url	$URL
option -check is given twice	--check	-dir	$ABSENT	-check
option -url needs an http:// or https:// URL	-dir	$ABSENT	-url	ftp://127.0.0.1/
option --json takes no value	--json=yes	-dir	$ABSENT
option --retries needs a whole number	-dir	$ABSENT	--retries	many
option --retries needs a value (a number), not the option "-1"	-dir	$ABSENT	--retries	-1
option --retries needs a whole number	-dir	$ABSENT	--retries=101
option --limit-rate needs a rate	-dir	$ABSENT	--limit-rate	8Q
option --limit-rate needs a rate	-dir	$ABSENT	--limit-rate	0
option -dir needs a value (a folder), not an empty one	-dir=	-url	$URL
option -dir is missing	-url	$URL
option -dir is missing	--check
EOF
}

# Run from a folder of its own, which holds nothing but the program: a forgotten -dir must not
# install anything beside it (and a record left in a build folder must not make it a game).
malformed() {
  local before_tree before_log expected line args failed=0 n=0 saved="$VTUPDATE"
  mkdir -p "$W/bin"
  cp "$saved" "$W/bin/"
  VTUPDATE="$W/bin/$(basename "$saved")"
  before_tree="$(snapshot "$W/untouched")"
  before_log="$(e2e_request_count)"
  while IFS= read -r line; do
    IFS=$'\t' read -r -a args <<<"$line"
    expected="${args[0]}"
    n=$((n + 1))
    run "malformed$n" "${args[@]:1}"
    if [ "$RC" -ne 2 ] || [ -s "$W/malformed$n.out" ] || [ "$(wc -l <"$W/malformed$n.err")" -ne 1 ] ||
      ! grep -qF -- "$expected" "$W/malformed$n.err" ||
      ! grep -q '; see vtupdate --help$' "$W/malformed$n.err"; then
      e2e_log "row $n (${args[*]:1}): want exit 2 and one line with: $expected"
      show "malformed$n" || true
      failed=1
    fi
  done < <(malformed_rows)
  [ "$(snapshot "$W/untouched")" = "$before_tree" ] || { e2e_log "a folder was touched"; failed=1; }
  [ ! -e "$W/absent" ] || { e2e_log "$W/absent was made"; failed=1; }
  [ "$(e2e_request_count)" -eq "$before_log" ] || { e2e_log "the server was asked"; failed=1; }
  [ "$(ls -A "$W/bin")" = "$(basename "$saved")" ] ||
    { e2e_log "something appeared beside the program: $(ls -A "$W/bin")"; failed=1; }
  VTUPDATE="$saved"
  [ "$failed" -eq 0 ]
}
e2e_case "malformed command lines: exit 2, one line naming the fault, nothing touched" malformed

# ---- help, version, both dash forms ---------------------------------------------------------

help_text() {
  local word
  run help --help || true
  [ "$RC" -eq 0 ] || return 1
  for word in -dir -url --check --verify --json --retries --limit-rate --help --version; do
    grep -q -- " $word" "$W/help.out" || { e2e_log "--help does not name $word"; return 1; }
  done
  for word in 0 1 2 10 130; do
    grep -q "^  $word  *[a-z]" "$W/help.out" || { e2e_log "--help does not name exit $word"; return 1; }
  done
  run help2 -dir "$ABSENT" -help && [ "$RC" -eq 0 ] && cmp -s "$W/help.out" "$W/help2.out" &&
    run version --version && [ "$RC" -eq 0 ] && grep -qx 'vtupdate [0-9].*' "$W/version.out" &&
    [ ! -e "$W/absent" ]
}
e2e_case "--help names every option and exit status; --version" help_text

install_both_forms() {
  run single -dir "$(ppath "$W/inst")" -url "$URL"
  [ "$RC" -eq 0 ] || { show single; return 1; }
  run double --dir="$(ppath "$W/inst2")" --url "$URL"
  [ "$RC" -eq 0 ] || { show double; return 1; }
  grep -qx "Up to date (build 100)." "$W/single.out" &&
    e2e_same_tree "$W/game-a" "$W/inst" --no-record && e2e_same_tree "$W/game-a" "$W/inst2" --no-record
}
e2e_case "-dir/-url and --dir=/--url install build A (exit 0)" install_both_forms

# ---- --check --------------------------------------------------------------------------------

# A game folder that cannot be made fails before any request, naming it and the system's reason.
folder_blocked() {
  echo file >"$W/blocker"
  local before_log
  before_log="$(e2e_request_count)"
  run blocked -dir "$(ppath "$W/blocker/game")" -url "$URL"
  [ "$RC" -eq 1 ] && grep -q "cannot create the folder .*blocker.game.* - ." "$W/blocked.err" ||
    { show blocked; return 1; }
  [ -z "$(requests_since "$before_log")" ] || { e2e_log "requests were sent"; return 1; }
}
e2e_case "a game folder that cannot be made: exit 1, the folder and the reason named" folder_blocked

# check NAME WANT_RC WANT_LINE DIR [more options]: a check whose folder must not change.
check() {
  local name="$1" want_rc="$2" want_line="$3" dir="$4" before before_log
  shift 4
  before="$(snapshot "$dir")"
  before_log="$(e2e_request_count)"
  run "$name" --check -dir "$(ppath "$dir")" "$@"
  if [ "$RC" -ne "$want_rc" ] || [ "$(cat "$W/$name.out")" != "$want_line" ]; then
    e2e_log "want exit $want_rc and: $want_line"
    show "$name"
    return 1
  fi
  [ "$(snapshot "$dir")" = "$before" ] || { e2e_log "--check changed $dir"; return 1; }
  ! requests_since "$before_log" | grep '^GET /o/' >/dev/null || { e2e_log "--check fetched objects"; return 1; }
}

check_cases() {
  check check-current 0 "Up to date (build 100)." "$W/inst" -url "$URL" &&
    check check-none 10 "Update available: build 100 (installed: none)" "$W/nothing" -url "$URL" &&
    check check-dead 1 "" "$W/inst" -url "$DEAD_URL" &&
    grep -q '^Check failed: ' "$W/check-dead.err" &&
    # A file whose time changed is what the record no longer vouches for.
    touch -d '2001-02-03 04:05:06' "$W/inst/maps/m2.map" &&
    check check-touched 10 "Update available: build 100 (installed: build 100)" "$W/inst" \
      -url "$URL" &&
    run retouch -dir "$(ppath "$W/inst")" -url "$URL" && [ "$RC" -eq 0 ] &&
    check check-again 0 "Up to date (build 100)." "$W/inst" -url "$URL"
}
e2e_case "--check: 0 up to date, 10 available (also no folder: not made), 1 failed; folder unchanged" \
  check_cases

# The program copied into a game folder finds it without -dir.
from_game_folder() {
  cp -a "$W/inst" "$W/self"
  cp "$VTUPDATE" "$W/self/"
  local saved="$VTUPDATE"
  VTUPDATE="$W/self/$(basename "$saved")"
  run self --check -url "$URL"
  VTUPDATE="$saved"
  [ "$RC" -eq 0 ] && grep -qx "Up to date (build 100)." "$W/self.out" || show self
}
e2e_case "without -dir, a program inside a game folder checks that folder" from_game_folder

# ---- --verify -------------------------------------------------------------------------------

# A file changed in place with its size and time kept: only hashing can see it.
verify_repairs() {
  local before
  cp -p "$W/inst/data/a.pak" "$W/a.pak.orig"
  e2e_make_file "$W/inst/data/a.pak" $((1536 * 1024)) text tampered
  touch -r "$W/a.pak.orig" "$W/inst/data/a.pak"
  run blind -dir "$(ppath "$W/inst")" -url "$URL"
  [ "$RC" -eq 0 ] && ! cmp -s "$W/inst/data/a.pak" "$W/game-a/data/a.pak" ||
    { e2e_log "a normal run was expected to miss the change"; show blind; }
  check verify-check 10 "1 file differs: data/a.pak" "$W/inst" -url "$URL" --verify || return 1
  before="$(e2e_request_count)"
  run verify -dir "$(ppath "$W/inst")" -url "$URL" --verify
  [ "$RC" -eq 0 ] || { show verify; return 1; }
  e2e_same_tree "$W/game-a" "$W/inst" --no-record || return 1
  [ "$(requests_since "$before" | grep -c '^GET /o/')" -eq 1 ] ||
    { e2e_log "objects fetched: $(requests_since "$before" | grep '^GET /o/')"; return 1; }
  check verify-clean 0 "Up to date (build 100)." "$W/inst" -url "$URL" --verify
}
e2e_case "--verify: --check lists the file changed in place, a run fetches only it" verify_repairs

# ---- --json ---------------------------------------------------------------------------------

json_success() {
  run json-ok -dir "$(ppath "$W/json-inst")" -url "$URL" --json
  [ "$RC" -eq 0 ] && [ "$(json "$W/json-ok.out")" = '{"build": 100, "event": "done"}' ] &&
    [ ! -s "$W/json-ok.err" ] && json -e progress "$W/json-ok.out" | grep '"Downloading the update: ' >/dev/null &&
    e2e_same_tree "$W/game-a" "$W/json-inst" --no-record || show json-ok
}
e2e_case "--json: a successful install, every line parsed, ends with done" json_success

json_check() {
  run json-check -dir "$(ppath "$W/json-inst")" -url "$URL" --json --check &&
    [ "$RC" -eq 0 ] &&
    [ "$(json "$W/json-check.out")" = \
      '{"build": 100, "event": "check", "held_back": false, "installed": 100, "update": false}' ] || show json-check
  local files
  files="$(cd "$W/game-a" && find . -type f | wc -l)"
  run json-none -dir "$ABSENT" -url "$URL" --json --check --verify
  [ "$RC" -eq 10 ] && [ ! -e "$W/absent" ] &&
    [ "$(json "$W/json-none.out" | python3 -c 'import json, sys
v = json.load(sys.stdin)
print(v["installed"], v["update"], len(v["differ"]))')" = "None True $files" ] || show json-none
}
e2e_case "--json --check: installed build or null, and the files that differ" json_check

# A mirror that refuses connections: the update server takes its files, and its source line
# names it with its failure.
json_mirror() {
  run json-mirror -dir "$(ppath "$W/json-mirror")" -url "$URL" --json --mirror http://127.0.0.1:9/
  [ "$RC" -eq 0 ] && [ "$(json "$W/json-mirror.out")" = '{"build": 100, "event": "done"}' ] &&
    json -e source "$W/json-mirror.out" | grep '"url": "http://127.0.0.1:9/o/"' |
    grep '"failures": [1-9]' >/dev/null &&
    e2e_same_tree "$W/game-a" "$W/json-mirror" --no-record || show json-mirror
}
e2e_case "--json --mirror: a refusing mirror's files come from the update server" json_mirror

# A game folder below a file, so that the failure's message holds the path, which carries a byte
# that is not UTF-8 (not under Wine, which cannot pass such a byte to a Windows program).
json_failure() {
  local bad error want="failed True"
  bad="$W/file"$'\xff'
  [ -z "${VTUPDATE_WRAP:-}" ] || { bad="$W/file"; want="failed False"; }
  echo x >"$bad"
  run json-fail -dir "$(ppath "$bad/game")" -url "$URL" --json
  [ "$RC" -eq 1 ] || { show json-fail; return 1; }
  error="$(json "$W/json-fail.out" | python3 -c 'import json, sys
v = json.load(sys.stdin)
print(v["event"], "\ufffd" in v["error"])')"
  [ "$error" = "$want" ] || { e2e_log "final: $error"; show json-fail; return 1; }
  run json-dead -dir "$ABSENT" -url "$DEAD_URL" --json --check
  [ "$RC" -eq 1 ] && json "$W/json-dead.out" | grep '"event": "failed"' >/dev/null && [ ! -e "$W/absent" ] ||
    show json-dead
}
e2e_case "--json: failures end with failed, a path that is not UTF-8 still gives valid JSON" \
  json_failure

# ---- stops ----------------------------------------------------------------------------------

# Starts vtupdate NAME in the background on the slow copy of the tree; sets PID.
start_slow() {
  local name="$1"
  shift
  # shellcheck disable=SC2086
  ${VTUPDATE_WRAP:-} "$VTUPDATE" "$@" -url "${URL}slow/" >"$W/$name.raw" 2>"$W/$name.err.raw" &
  PID=$!
  e2e_track "$PID"
}

# Waits until FILE holds PATTERN (the run is downloading), then sends SIGNAL; RC: the status.
stop_when() {
  local file="$1" pattern="$2" signal="$3" _
  for _ in $(seq 1 600); do
    grep -q -- "$pattern" "$file" && break
    sleep 0.05
  done
  kill "-$signal" "$PID"
  RC=0
  wait "$PID" || RC=$?
  e2e_untrack "$PID"
}

# Every file of the folder is its A or its B version, or absent when only B has it.
a_or_b() {
  local f
  while IFS= read -r f; do
    [ -e "$1/$f" ] || [ ! -e "$W/game-a/$f" ] || { e2e_log "missing $f"; return 1; }
    [ ! -e "$1/$f" ] || cmp -s "$1/$f" "$W/game-a/$f" || cmp -s "$1/$f" "$W/game-b/$f" ||
      { e2e_log "neither A nor B: $f"; return 1; }
  done < <(cd "$W/game-a" && find . -type f; cd "$W/game-b" && find . -type f)
}

pack "$W/game-b" "$SRV" 101 || e2e_die "packing build B failed"

sigterm_stops() {
  local record
  cp -a "$W/inst" "$W/term"
  record="$(sha256sum <"$W/term/installed.json")"
  start_slow term -dir "$(ppath "$W/term")"
  stop_when "$W/term.raw" '^Downloading the update: ' "$STOP_SIGNAL"
  tr -d '\r' <"$W/term.err.raw" >"$W/term.err"
  [ "$RC" -eq 130 ] || { e2e_log "exit status $RC"; cat "$W/term.err" >&2; return 1; }
  grep -q '^Stopped: ' "$W/term.err" && [ "$(sha256sum <"$W/term/installed.json")" = "$record" ] &&
    a_or_b "$W/term"
}
e2e_case "SIG$STOP_SIGNAL stops cleanly: exit 130, record kept, every file old or new" \
  sigterm_stops

json_stop() {
  cp -a "$W/inst" "$W/jterm"
  start_slow jterm -dir "$(ppath "$W/jterm")" --json
  stop_when "$W/jterm.raw" '"Downloading the update: ' "$STOP_SIGNAL"
  tr -d '\r' <"$W/jterm.raw" >"$W/jterm.out"
  [ "$RC" -eq 130 ] && [ "$(json "$W/jterm.out")" = '{"event": "stopped"}' ] && a_or_b "$W/jterm" ||
    { e2e_log "exit status $RC"; cat "$W/jterm.out" >&2; return 1; }
}
e2e_case "--json: a stop ends with stopped (exit 130)" json_stop

# On a terminal of 60 columns (a pseudo-terminal): every redrawn line fits in 59, no second
# holds more than 10 redraws, and a line of the transfer shows the rate and the time left.
terminal_line() {
  cp -a "$W/json-inst" "$W/tty"
  python3 "$HERE/terminal_line.py" "$VTUPDATE" -dir "$W/tty" -url "${URL}slow/"
}
if [ -z "${VTUPDATE_WRAP:-}" ]; then
  e2e_case "on a terminal: the line fits, at most 10 redraws a second, rate and time left" \
    terminal_line
else
  echo "SKIP: the terminal line (a wrapped program's console is not our pseudo-terminal)"
fi

# ---- build B: check, verify over a build change ---------------------------------------------

to_b() {
  check check-b 10 "Update available: build 101 (installed: build 100)" "$W/inst" -url "$URL" ||
    return 1
  run verify-b -dir "$(ppath "$W/inst")" -url "$URL" --verify
  [ "$RC" -eq 0 ] || { show verify-b; return 1; }
  # The folder old/ stays (folders are never removed), empty.
  e2e_same_tree "$W/game-b" "$W/inst" --no-record && [ ! -e "$W/inst/old/gone.txt" ] &&
    check check-b2 0 "Up to date (build 101)." "$W/inst" -url "$URL"
}
e2e_case "build B: --check says 10, --verify updates and removes what B dropped" to_b

# ---- --retries ------------------------------------------------------------------------------

# Starts the server that fails its first N manifest requests; sets FLAKY_URL.
FLAKY_PID=""
start_flaky() {
  local _
  rm -f "$W/flaky.port"
  python3 "$HERE/flaky_server.py" "$SRV" "$1" "$W/flaky.port" 2>"$W/flaky.log" &
  FLAKY_PID=$!
  e2e_track "$FLAKY_PID"
  for _ in $(seq 1 200); do
    [ -s "$W/flaky.port" ] && break
    sleep 0.05
  done
  FLAKY_URL="http://127.0.0.1:$(cat "$W/flaky.port")/"
}

stop_flaky() {
  kill "$FLAKY_PID" 2>/dev/null || true
  wait "$FLAKY_PID" 2>/dev/null || true
  e2e_untrack "$FLAKY_PID"
}

retries_heal() {
  local start elapsed status=0
  start_flaky 2
  start="$(date +%s%N)"
  run retry-ok -dir "$(ppath "$W/retry")" -url "$FLAKY_URL" --retries 2
  elapsed=$((($(date +%s%N) - start) / 1000000))
  [ "$RC" -eq 0 ] && e2e_same_tree "$W/game-b" "$W/retry" --no-record &&
    [ "$(grep -c '^Attempt [12] of 3 failed: .*HTTP 503 - trying again in [0-9.]* s$' \
      "$W/retry-ok.err")" -eq 2 ] &&
    [ "$(wc -l <"$W/retry-ok.err")" -eq 2 ] || { show retry-ok; status=1; }
  # The waits are 1 and 2 s, less at most a fifth.
  [ "$elapsed" -ge 2400 ] || { e2e_log "retried after only $elapsed ms"; status=1; }
  stop_flaky
  start_flaky 2
  run retry-short -dir "$(ppath "$W/retry-short")" -url "$FLAKY_URL" --retries 1 --json
  [ "$RC" -eq 1 ] && [ "$(json -e retry "$W/retry-short.out" | wc -l)" -eq 1 ] &&
    json "$W/retry-short.out" | grep '"error": ".*HTTP 503"' >/dev/null || { show retry-short; status=1; }
  stop_flaky
  return $status
}
e2e_case "--retries 2 outlasts a server failing twice; --retries 1 does not" retries_heal

unsigned_final() {
  local before
  cp -a "$SRV" "$W/bad" && mv "$W/bad" "$SRV/bad"
  printf 'AAAA' >"$SRV/bad/version.sig"
  printf 'AAAA' >"$SRV/bad/version.sigs"
  before="$(e2e_request_count)"
  run unsigned -dir "$(ppath "$W/unsigned")" -url "${URL}bad/" --retries 3
  [ "$RC" -eq 1 ] && [ "$(cat "$W/unsigned.err")" = \
    "Update failed: the update list is not signed by Veltrano RPG - nothing was changed" ] &&
    [ "$(requests_since "$before" | grep -c '^GET /bad/version?')" -eq 1 ] ||
    { show unsigned; return 1; }
  # Programs tell a refusal of trust from other failures by its cause.
  run unsigned-json -dir "$(ppath "$W/unsigned")" -url "${URL}bad/" --json
  [ "$RC" -eq 1 ] && json "$W/unsigned-json.out" | grep '"cause": "signature"' >/dev/null ||
    show unsigned-json
}
e2e_case "--retries never retries a signature failure; --json names the cause" unsigned_final

# ---- --limit-rate ---------------------------------------------------------------------------

# Samples the bytes below DIR every 50 ms until the file STOP appears; one "seconds bytes" line
# per sample.
sample_bytes() {
  python3 - "$1" "$2" <<'EOF'
import os, sys, time
top, stop = sys.argv[1], sys.argv[2]
while not os.path.exists(stop):
    total = 0
    for root, _, files in os.walk(top):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    print("%.3f %d" % (time.monotonic(), total), flush=True)
    time.sleep(0.05)
EOF
}

# The fastest 2 s of the samples and the mean over the whole transfer, in bytes a second.
rates() {
  python3 - "$1" <<'EOF'
import sys
samples = [tuple(map(float, line.split())) for line in open(sys.argv[1])]
moving = [s for s in samples if s[1] > 0]
best, j = 0.0, 0
for i, (t, b) in enumerate(samples):
    while j + 1 < len(samples) and samples[j + 1][0] - t <= 2.0:
        j += 1
    if samples[j][0] - t >= 1.9:
        best = max(best, (samples[j][1] - b) / (samples[j][0] - t))
first = moving[0]
last = next(s for s in samples if s[1] >= samples[-1][1])
print("%.0f %.0f" % (best, (last[1] - first[1]) / max(last[0] - first[0], 1e-3)))
EOF
}

limit_rate() {
  local i sampler peak mean rate=$((LIMIT_MB * 1048576))
  for i in 1 2 3 4; do
    e2e_make_file "$W/game-big/data/big$i.bin" $((8 * 1048576)) random "big$i"
  done
  pack "$W/game-big" "$SRV/big" 7 || return 1
  mkdir -p "$W/limited"
  sample_bytes "$W/limited" "$W/limited.stop" >"$W/limited.samples" &
  sampler=$!
  e2e_track "$sampler"
  run limited -dir "$(ppath "$W/limited")" -url "${URL}big/" --limit-rate "${LIMIT_MB}M"
  touch "$W/limited.stop"
  wait "$sampler" || true
  e2e_untrack "$sampler"
  [ "$RC" -eq 0 ] && e2e_same_tree "$W/game-big" "$W/limited" --no-record || { show limited; return 1; }
  read -r peak mean < <(rates "$W/limited.samples")
  echo "--limit-rate ${LIMIT_MB}M ($rate B/s): fastest 2 s $peak B/s, mean $mean B/s"
  [ "$peak" -le $((rate * 110 / 100)) ] && [ "$mean" -ge $((rate * 80 / 100)) ]
}
e2e_case "--limit-rate: 32 MiB from four workers stays under the rate over every 2 s" limit_rate

# A run held back by a low limit still stops at once.
limited_stop() {
  local start elapsed
  # shellcheck disable=SC2086
  ${VTUPDATE_WRAP:-} "$VTUPDATE" -dir "$(ppath "$W/held")" -url "${URL}big/" --limit-rate 8K \
    >"$W/held.raw" 2>"$W/held.err.raw" &
  PID=$!
  e2e_track "$PID"
  for _ in $(seq 1 400); do
    [ -n "$(find "$W/held" -name '*.part' -size +0 2>/dev/null)" ] && break
    sleep 0.05
  done
  start="$(date +%s%N)"
  kill "-$STOP_SIGNAL" "$PID"
  RC=0
  wait "$PID" || RC=$?
  e2e_untrack "$PID"
  elapsed=$((($(date +%s%N) - start) / 1000000))
  echo "stopped after $elapsed ms"
  [ "$RC" -eq 130 ] && [ "$elapsed" -lt 2000 ] && [ ! -e "$W/held/installed.json" ] &&
    [ -z "$(find "$W/held" -name 'big*.bin' ! -name '*.part')" ]
}
e2e_case "a run held back by --limit-rate stops within 2 s (exit 130, nothing placed)" limited_stop

e2e_finish
