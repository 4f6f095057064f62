#!/usr/bin/env bash
# The launcher replacing itself, with real processes under Xvfb: launcher A runs from the game
# folder (a name with a blank), the release carries launcher B; A fetches B, moves itself aside
# to "vtlaunch.old", moves B in and restarts it with the same parameters; B removes
# "vtlaunch.old", brings the rest up to date and starts the game. A launcher started from
# elsewhere updates the folder's "vtlaunch.exe" like any file and does not restart.
#
#   launcher_selfupdate.sh BUILD_DIR   (the folder with vtlaunch, vtlaunch-next and
#                                       tools/vtpublish/vtpublish)
#
# Exits 77 (skipped) when Xvfb or nginx is missing.
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=lib.sh
. "$HERE/lib.sh"

e2e_require Xvfb nginx pgrep
e2e_require_dev_key
BIN="$(cd "${1:?usage: launcher_selfupdate.sh BUILD_DIR}" && pwd)"
VTPUBLISH="$(e2e_find_program vtpublish "$BIN")" || e2e_die "vtpublish not found in $BIN"
for program in vtlaunch vtlaunch-next; do
  [ -x "$BIN/$program" ] || e2e_die "$program not found in $BIN"
done
cmp -s "$BIN/vtlaunch" "$BIN/vtlaunch-next" && e2e_die "the two launchers are the same file"

e2e_setup
W="$E2E_WORK"
# The restarted launcher runs in a session of its own: end it too should a case go wrong.
trap 'pkill -KILL -f "^$W/" 2>/dev/null || true; e2e_cleanup' EXIT
e2e_start_xvfb

KEY="$(e2e_dev_key)"
mkdir -p "$W/release/data"
cp "$BIN/vtlaunch-next" "$W/release/vtlaunch.exe"
cat >"$W/release/vt.exe" <<GAME
#!/bin/sh
# Renamed into place, so that a test that sees the file reads it whole.
{ echo "count=\$#"; echo "args=\$*"; echo "cwd=\$(pwd)"; } >"$W/game-started.tmp"
mv "$W/game-started.tmp" "$W/game-started"
GAME
chmod +x "$W/release/vt.exe"
e2e_make_file "$W/release/data/world.pak" 500000 random world
e2e_make_picture "$W/release/frontend/graphics/background1.jpeg"
"$VTPUBLISH" pack "$W/release" "$W/srv" --build 2 --key "$KEY" >/dev/null
e2e_start_nginx "$W/srv"
URL="http://127.0.0.1:$E2E_HTTP_PORT/"

# Waits up to 60 s for the game to have started and every launcher of FOLDER to have ended.
game_started_and_launchers_ended() {
  local folder="$1" i
  for ((i = 0; i < 600; i++)); do
    if [ -f "$W/game-started" ] && ! pgrep -f "^$folder/vtlaunch" >/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  e2e_log "game started: $([ -f "$W/game-started" ] && echo yes || echo no);" \
    "launchers still running: $(pgrep -af "^$folder/vtlaunch" || true)"
  return 1
}

manifest_requests() {
  grep -c '^GET /version?' "$E2E_ACCESS_LOG" || true
}

expect_game_started_in() {
  grep -qx 'count=1' "$W/game-started" && grep -qx 'args=-launched' "$W/game-started" &&
    grep -qxF "cwd=$1" "$W/game-started" || { cat "$W/game-started" >&2; return 1; }
}

launcher_in_the_game_folder_replaces_itself() {
  local game="$W/My Game" before
  mkdir -p "$game"
  cp "$BIN/vtlaunch" "$game/vtlaunch.exe"
  rm -f "$W/game-started"
  before="$(manifest_requests)"
  # From another working folder, as a desktop shortcut would start it.
  (cd / && "$game/vtlaunch.exe" -dir "$game" -url "$URL" >"$W/a.log" 2>&1) &
  e2e_track $!
  game_started_and_launchers_ended "$game" || return 1
  expect_game_started_in "$game" || return 1
  cmp -s "$game/vtlaunch.exe" "$BIN/vtlaunch-next" || { e2e_log "vtlaunch.exe is not B"; return 1; }
  [ -x "$game/vtlaunch.exe" ] || { e2e_log "the new launcher is not executable"; return 1; }
  [ ! -e "$game/vtlaunch.new" ] && [ ! -e "$game/vtlaunch.old" ] ||
    { ls -la "$game" >&2; return 1; }
  # A's run and B's run each read the manifest; "-dir" with its blank reached B whole.
  [ $(($(manifest_requests) - before)) = 2 ] || { e2e_log "manifest asked $(($(manifest_requests) - before)) times"; return 1; }
  [ ! -e "$W/My" ] || { e2e_log "the restart split the folder name"; return 1; }
  e2e_same_tree "$W/release" "$game" --no-record && [ -f "$game/installed.json" ]
}

launcher_from_elsewhere_does_not_restart() {
  local game="$W/other game" before
  mkdir -p "$game"
  cp "$BIN/vtlaunch" "$game/vtlaunch.exe"
  rm -f "$W/game-started"
  mkdir -p "$W/elsewhere"
  cp "$BIN/vtlaunch" "$W/elsewhere/vtlaunch"
  before="$(manifest_requests)"
  "$W/elsewhere/vtlaunch" -dir "$game" -url "$URL" >"$W/b.log" 2>&1 &
  e2e_track $!
  game_started_and_launchers_ended "$W/elsewhere" || return 1
  expect_game_started_in "$game" || return 1
  cmp -s "$game/vtlaunch.exe" "$BIN/vtlaunch-next" || { e2e_log "vtlaunch.exe is not B"; return 1; }
  cmp -s "$W/elsewhere/vtlaunch" "$BIN/vtlaunch" || { e2e_log "the running launcher changed"; return 1; }
  [ ! -e "$game/vtlaunch.old" ] && [ "$(($(manifest_requests) - before))" = 1 ]
}

e2e_case "launcher A in the game folder replaces itself with B, which completes the update" \
  launcher_in_the_game_folder_replaces_itself
e2e_case "a launcher from another folder updates vtlaunch.exe as a file and does not restart" \
  launcher_from_elsewhere_does_not_restart
e2e_finish
