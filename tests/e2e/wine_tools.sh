#!/usr/bin/env bash
# The Windows programs as a user runs them, under Wine: vtpublish.exe makes a key, packs a small
# game and verifies the tree; a tree packed under Wine is checked by the Linux vtpublish (when
# given) and one packed on Linux by vtpublish.exe, so keys and signatures cross between the two
# signers; vtupdate.exe installs the game from nginx and finds it up to date on a second run,
# refuses a second run of one folder, and installs names of the longest length.
#
#   tests/e2e/wine_tools.sh [WINDOWS_BUILD_DIR [LINUX_VTPUBLISH_DIR]]   (default build/windows)
#
# Exit status: 0 all cases passed, 1 a case failed, 77 Wine, nginx or the Windows build is
# missing.
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WINBUILD="${1:-$here/../../build/windows}"
LINUX_VTPUBLISH="${2:+$2/vtpublish}"
WIN_VTPUBLISH="$WINBUILD/tools/vtpublish/vtpublish.exe"
WIN_VTUPDATE="$WINBUILD/tools/vtupdate/vtupdate.exe"

e2e_require wine nginx
for program in "$WIN_VTPUBLISH" "$WIN_VTUPDATE"; do
  if [ ! -f "$program" ]; then
    e2e_log "SKIP: $program is not built (cmake --preset windows)"
    exit "$E2E_SKIP"
  fi
done
e2e_setup
W="$E2E_WORK"
KEY="$(e2e_dev_key)"

# One Wine prefix per build folder, made once; no display, no Mono or Gecko.
WINEPREFIX="$(cd "$WINBUILD" && pwd)/wineprefix"
export WINEPREFIX WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi

# Wine shows the Unix root as drive Z:.
winpath() {
  printf 'Z:%s\n' "${1//\//\\}"
}

vtpublish_exe() {
  wine "$WIN_VTPUBLISH" "$@"
}

make_game() {
  local g="$1" tag="$2"
  e2e_make_file "$g/vt.exe" 120000 random "exe-$tag"
  e2e_make_file "$g/data/text.pak" 300000 text "text-$tag"
  e2e_make_file "$g/data/empty.dat" 0 zero empty
  e2e_make_file "$g/Save Games/read me.txt" 1200 text "readme-$tag"
}

make_game "$W/game" a

case_keygen() {
  vtpublish_exe keygen "$(winpath "$W/own-key.pem")" >"$W/keygen.out" &&
    grep -q '^VT_RELEASE_KEY_X=[0-9a-f]\{64\}' "$W/keygen.out" &&
    grep -q '^VT_RELEASE_KEY_Y=[0-9a-f]\{64\}' "$W/keygen.out" &&
    grep -q 'BEGIN PRIVATE KEY' "$W/own-key.pem"
}

# Packs with the key made under Wine and verifies with its public half; the Linux vtpublish (when
# given) verifies that tree, and packs with the same key file for vtpublish.exe to verify.
case_pack_verify_own_key() {
  local x y
  x="$(sed -n 's/^VT_RELEASE_KEY_X=//p' "$W/keygen.out" | tr -d '\r')"
  y="$(sed -n 's/^VT_RELEASE_KEY_Y=//p' "$W/keygen.out" | tr -d '\r')"
  vtpublish_exe pack "$(winpath "$W/game")" "$(winpath "$W/own")" --build 1 \
    --key "$(winpath "$W/own-key.pem")" >/dev/null &&
    vtpublish_exe verify "$(winpath "$W/own")" --key-x "$x" --key-y "$y" >/dev/null &&
    ! vtpublish_exe verify "$(winpath "$W/own")" >/dev/null 2>&1 &&
    { [ -z "$LINUX_VTPUBLISH" ] ||
      { "$LINUX_VTPUBLISH" verify "$W/own" --key-x "$x" --key-y "$y" >/dev/null &&
        "$LINUX_VTPUBLISH" pack "$W/game" "$W/own-linux" --build 1 --key "$W/own-key.pem" \
          >/dev/null &&
        vtpublish_exe verify "$(winpath "$W/own-linux")" --key-x "$x" --key-y "$y" >/dev/null; }; }
}

# The committed key, packed on Linux (when given) and verified under Wine, and the other way.
case_cross_platform_trees() {
  vtpublish_exe pack "$(winpath "$W/game")" "$(winpath "$W/srv")" --build 1 \
    --key "$(winpath "$KEY")" >/dev/null &&
    vtpublish_exe verify "$(winpath "$W/srv")" --key "$(winpath "$KEY")" >/dev/null || return 1
  [ -n "$LINUX_VTPUBLISH" ] || return 0
  # Checked against the signing key itself, so that either build may trust another release key.
  "$LINUX_VTPUBLISH" verify "$W/srv" --key "$KEY" >/dev/null &&
    "$LINUX_VTPUBLISH" pack "$W/game" "$W/linux" --build 1 --key "$KEY" >/dev/null &&
    vtpublish_exe verify "$(winpath "$W/linux")" --key "$(winpath "$KEY")" >/dev/null
}

case_vtupdate_installs() {
  e2e_start_nginx "$W/srv"
  local url="http://127.0.0.1:$E2E_HTTP_PORT/"
  wine "$WIN_VTUPDATE" -dir "$(winpath "$W/installed")" -url "$url" >"$W/update1.out" 2>&1 &&
    e2e_same_tree "$W/game" "$W/installed" --no-record &&
    [ -f "$W/installed/installed.json" ] &&
    wine "$WIN_VTUPDATE" -dir "$(winpath "$W/installed")" -url "$url" >"$W/update2.out" 2>&1 &&
    grep -q 'Up to date (build 1)' "$W/update2.out"
  local status=$?
  e2e_stop_nginx
  [ $status -eq 0 ] || cat "$W/update1.out" "$W/update2.out" >&2 2>/dev/null || true
  return $status
}

# The options end to end with vtupdate.exe (packed by the Linux vtpublish): the same script as
# for the Linux program, through Wine, with Ctrl-C for the stops.
case_vtupdate_options() {
  export -f winpath
  VTUPDATE="$WIN_VTUPDATE" VTPUBLISH="$LINUX_VTPUBLISH" VTUPDATE_WRAP=wine VTUPDATE_PATH=winpath \
    VT_E2E_STOP_SIGNAL=INT bash "$here/vtupdate_options.sh" >"$W/options.log" 2>&1
  local status=$?
  grep -E '^(PASS|FAIL|--limit-rate)' "$W/options.log"
  [ $status -eq 0 ] || tail -40 "$W/options.log" >&2
  return $status
}

# Two vtupdate.exe runs of one folder started together, through the slow path: one installs,
# the other is refused at once; the lock file goes with its handle, after a normal end and after
# a SIGKILL of its holder.
BUSY="Update failed: another update of this game folder is running - try again when it has finished"
case_one_run_per_folder() {
  local url round a b rca rcb pid status=0
  make_game "$W/game-big" big
  for i in 1 2 3 4; do
    e2e_make_file "$W/game-big/data/big$i.pak" 700000 random "big$i"
  done
  vtpublish_exe pack "$(winpath "$W/game-big")" "$(winpath "$W/srv-big")" --build 1 \
    --key "$(winpath "$KEY")" >/dev/null || return 1
  e2e_start_nginx "$W/srv-big"
  url="http://127.0.0.1:$E2E_HTTP_PORT/slow/"
  for round in 1 2 3; do
    rm -rf "$W/both"
    mkdir -p "$W/both"
    rca=0 rcb=0
    wine "$WIN_VTUPDATE" -dir "$(winpath "$W/both")" -url "$url" >/dev/null 2>"$W/a.err" &
    a=$!
    wine "$WIN_VTUPDATE" -dir "$(winpath "$W/both")" -url "$url" >/dev/null 2>"$W/b.err" &
    b=$!
    wait "$a" || rca=$?
    wait "$b" || rcb=$?
    if ! { [ "$rca$rcb" = 01 ] && [ "$(tr -d '\r' <"$W/b.err")" = "$BUSY" ]; } &&
      ! { [ "$rca$rcb" = 10 ] && [ "$(tr -d '\r' <"$W/a.err")" = "$BUSY" ]; }; then
      e2e_log "round $round: exit $rca and $rcb: $(cat "$W/a.err" "$W/b.err")"
      status=1
      break
    fi
    e2e_same_tree "$W/game-big" "$W/both" --no-record || { status=1; break; }
  done
  if [ "$status" = 0 ]; then
    rm -rf "$W/both"
    e2e_start_until_downloading "$W/kill.out" wine "$WIN_VTUPDATE" -dir "$(winpath "$W/both")" \
      -url "$url" || status=1
    pid="$E2E_BUSY_PID"
    kill -KILL "$pid" || status=1
    wait "$pid" 2>/dev/null || true
    # The handle closes once the Wine server sees the process gone.
    sleep 1
    wine "$WIN_VTUPDATE" -dir "$(winpath "$W/both")" -url "$url" >"$W/after.out" 2>&1 ||
      { cat "$W/after.out" >&2; status=1; }
    e2e_same_tree "$W/game-big" "$W/both" --no-record || status=1
  fi
  e2e_stop_nginx
  return $status
}

# Names of 255 bytes, the most the file system takes, plain and compressed.
case_longest_names() {
  local name status=0
  name="$(printf 'n%.0s' $(seq 1 251))"
  e2e_make_file "$W/game-long/$name.dat" 200000 random long-plain
  e2e_make_file "$W/game-long/d/$name.txt" 200000 text long-text
  vtpublish_exe pack "$(winpath "$W/game-long")" "$(winpath "$W/srv-long")" --build 1 \
    --key "$(winpath "$KEY")" >/dev/null || return 1
  [ -n "$(find "$W/srv-long" -name '*.z')" ] || { e2e_log "nothing compressed"; return 1; }
  e2e_start_nginx "$W/srv-long"
  wine "$WIN_VTUPDATE" -dir "$(winpath "$W/long")" -url "http://127.0.0.1:$E2E_HTTP_PORT/" \
    >"$W/long.out" 2>&1 || { cat "$W/long.out" >&2; status=1; }
  e2e_stop_nginx
  [ "$status" = 0 ] && e2e_same_tree "$W/game-long" "$W/long" --no-record
}

# Trust made under Wine: a release key added with the committed root, a release signed by both
# with an expiry, refreshed; vtupdate.exe installs it, remembers release 2, and then refuses the
# replay of release 1 with its cause, leaving the folder as it was.
case_trust() {
  local tree="$W/srv-trust" dev own url status=0
  dev="$(winpath "$KEY")" own="$(winpath "$W/own-key.pem")"
  vtpublish_exe keys add-release "$(winpath "$tree")" "$own" --key "$dev" >/dev/null &&
    vtpublish_exe pack "$(winpath "$W/game")" "$(winpath "$tree")" --build 1 --key "$dev" \
      --key "$own" --expires 7d >/dev/null &&
    mkdir -p "$W/replay" && cp "$tree"/version* "$W/replay/" &&
    vtpublish_exe refresh "$(winpath "$tree")" --key "$own" --key "$dev" --expires 7d |
    grep -q '^Release 2, expires .*, signed for keys version 1' &&
    { [ -z "$LINUX_VTPUBLISH" ] || "$LINUX_VTPUBLISH" verify "$tree" --key "$KEY" >/dev/null; } ||
    return 1
  e2e_start_nginx "$tree"
  url="http://127.0.0.1:$E2E_HTTP_PORT/"
  wine "$WIN_VTUPDATE" -dir "$(winpath "$W/trusting")" -url "$url" >"$W/trust1.out" 2>&1 &&
    grep -q '"seq":2,' "$W/trusting/vtlaunch.trust" || status=1
  cp "$W/replay"/version* "$tree/"
  if [ "$status" = 0 ] && ! { ! wine "$WIN_VTUPDATE" -dir "$(winpath "$W/trusting")" -url "$url" \
    --json >"$W/trust2.out" 2>&1 && grep -q '"cause":"rollback"' "$W/trust2.out" &&
    e2e_same_tree "$W/game" "$W/trusting" --no-record; }; then
    cat "$W/trust1.out" "$W/trust2.out" >&2
    status=1
  fi
  e2e_stop_nginx
  return $status
}

# Channels and a staged rollout made under Wine: a folder held back by a 1 % rollout installs the
# release before it and says so in --check --json, --skip-rollout takes the newest, a halt
# takes it from no one; a folder meeting its first rollout draws its identifier with the
# system's generator; a folder on beta gets beta's build.
case_channels_rollout() {
  local tree="$W/srv-phases" dev url held status=0
  dev="$(winpath "$KEY")"
  make_game "$W/game-p2" p2
  make_game "$W/game-p3" p3
  vtpublish_exe pack "$(winpath "$W/game")" "$(winpath "$tree")" --build 1 --key "$dev" \
    >/dev/null &&
    vtpublish_exe pack "$(winpath "$W/game-p2")" "$(winpath "$tree")" --build 2 --key "$dev" \
      --channel beta >/dev/null &&
    vtpublish_exe pack "$(winpath "$W/game-p3")" "$(winpath "$tree")" --build 3 --key "$dev" \
      --rollout 1 | grep -q '^Rollout: 1 % of installs take this build, the others build 1' ||
    return 1
  # An identifier whose bucket for build 3 on stable is not under 1 %.
  held="$(python3 -c '
import hashlib, itertools
for n in itertools.count():
    i = hashlib.sha256(b"%d" % n).hexdigest()[:32]
    d = hashlib.sha256(("rollout\n%s\nstable\n3" % i).encode()).digest()
    if int.from_bytes(d[:8], "big") % 100 >= 1:
        print(i)
        break')"
  mkdir -p "$W/held" && printf '{"format":1,"id":"%s"}' "$held" >"$W/held/vtlaunch.trust"
  e2e_start_nginx "$tree"
  url="http://127.0.0.1:$E2E_HTTP_PORT/"
  up() { wine "$WIN_VTUPDATE" -dir "$(winpath "$1")" -url "$url" "${@:2}" >>"$W/phases.out" 2>&1; }
  { up "$W/held" && e2e_same_tree "$W/game" "$W/held" --no-record &&
    up "$W/held" --check --json && grep -q '"held_back":true,"newest":3' "$W/phases.out" &&
    up "$W/held" --skip-rollout && e2e_same_tree "$W/game-p3" "$W/held" --no-record &&
    vtpublish_exe rollout "$(winpath "$tree")" halt --key "$dev" >/dev/null &&
    up "$W/held" && e2e_same_tree "$W/game-p3" "$W/held" --no-record &&
    up "$W/fresh" && grep -Eq '"id":"[0-9a-f]{32}"' "$W/fresh/vtlaunch.trust" &&
    up "$W/tester" --channel beta && e2e_same_tree "$W/game-p2" "$W/tester" --no-record; } ||
    { cat "$W/phases.out" >&2; status=1; }
  e2e_stop_nginx
  return $status
}

e2e_case "vtpublish.exe keygen" case_keygen
e2e_case "vtpublish.exe pack and verify with its own key" case_pack_verify_own_key
e2e_case "trees cross between the Linux and Windows signers" case_cross_platform_trees
e2e_case "keys, pack --expires and refresh under Wine; vtupdate.exe refuses the replay" case_trust
e2e_case "channels and a staged rollout under Wine: held back, skipped, halted" \
  case_channels_rollout
e2e_case "vtupdate.exe installs from nginx, then finds the folder up to date" \
  case_vtupdate_installs
if [ -n "$LINUX_VTPUBLISH" ]; then
  e2e_case "vtupdate.exe: strict options, --check, --json, --verify, --retries, --limit-rate" \
    case_vtupdate_options
else
  echo "SKIP: vtupdate.exe's options (they need the Linux vtpublish to pack)"
fi
e2e_case "vtupdate.exe: one run per folder, the lock free after a normal end and a SIGKILL" \
  case_one_run_per_folder
e2e_case "vtupdate.exe installs 255-byte names, plain and compressed" case_longest_names
e2e_finish
