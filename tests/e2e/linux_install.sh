#!/usr/bin/env bash
# The Linux install as a player meets it: `cmake --install` places the three programs and a
# menu entry that opens a game folder of the user's own; `vtlaunch --help` and `--version`
# answer without a window; a launcher in a folder it cannot write to, given no -dir, refuses
# with one line instead of installing the game there.
#
#   linux_install.sh BUILD_DIR
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=lib.sh
. "$HERE/lib.sh"

e2e_require cmake unshare mount
BUILD="$(cd "${1:?usage: linux_install.sh BUILD_DIR}" && pwd)"
e2e_setup
W="$E2E_WORK"
P="$W/prefix"

installs_programs_and_menu_entry() {
  cmake --install "$BUILD" --prefix "$P" >"$W/install.log" 2>&1 || { cat "$W/install.log" >&2; return 1; }
  local program
  for program in vtlaunch vtupdate vtpublish vtlaunch-user; do
    [ -x "$P/bin/$program" ] || { e2e_log "no $P/bin/$program"; return 1; }
  done
  grep -qx 'Exec=vtlaunch-user' "$P/share/applications/vtlaunch.desktop" &&
    grep -qx 'Exec=vtlaunch-user -repair' "$P/share/applications/vtlaunch.desktop" &&
    { ! command -v desktop-file-validate >/dev/null ||
      desktop-file-validate "$P/share/applications/vtlaunch.desktop"; } &&
    [ -f "$P/share/icons/hicolor/scalable/apps/vtlaunch.svg" ]
}

menu_entry_opens_a_folder_of_the_users_own() {
  # A stand-in vtlaunch that records how it was started.
  mkdir -p "$W/fake"
  printf '#!/bin/sh\nfor a; do printf "%%s\\n" "$a"; done >"%s/args"\n' "$W" >"$W/fake/vtlaunch"
  chmod +x "$W/fake/vtlaunch"
  PATH="$W/fake:$PATH" XDG_DATA_HOME="$W/xdg" "$P/bin/vtlaunch-user"
  [ "$(cat "$W/args")" = "-dir
$W/xdg/Veltrano RPG" ] || { cat "$W/args" >&2; return 1; }
  rm "$W/args"
  PATH="$W/fake:$PATH" HOME="$W/home" env -u XDG_DATA_HOME "$P/bin/vtlaunch-user"
  [ "$(sed -n 2p "$W/args")" = "$W/home/.local/share/Veltrano RPG" ]
}

help_and_version_without_a_window() {
  local out
  out="$(env -u DISPLAY -u WAYLAND_DISPLAY "$P/bin/vtlaunch" --help)" || return 1
  grep -q '^Usage: vtlaunch ' <<<"$out" && grep -q -- '-dir FOLDER' <<<"$out" || return 1
  out="$(env -u DISPLAY -u WAYLAND_DISPLAY "$P/bin/vtlaunch" --version)" || return 1
  [[ "$out" =~ ^vtlaunch\ [0-9] ]]
}

unwritable_program_folder_without_dir_is_refused() {
  local rc=0 before
  before="$(ls -A "$P/bin")"
  # Root may write anywhere, so the folder is made read-only by a mount of its own.
  unshare -m bash -c 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" &&
    env -u DISPLAY -u WAYLAND_DISPLAY "$1/vtlaunch" -url http://127.0.0.1:9/' _ "$P/bin" \
    >"$W/ro.out" 2>"$W/ro.err" || rc=$?
  [ "$rc" -eq 1 ] || { e2e_log "exit status $rc"; cat "$W/ro.err" >&2; return 1; }
  [ "$(wc -l <"$W/ro.err")" -eq 1 ] &&
    grep -qF "vtlaunch cannot install the game in $P/bin/, which is not writable - give a game folder of yours with -dir" "$W/ro.err" ||
    { cat "$W/ro.err" >&2; return 1; }
  [ "$(ls -A "$P/bin")" = "$before" ]
}

e2e_case "cmake --install places vtlaunch, vtupdate, vtpublish and the menu entry" \
  installs_programs_and_menu_entry
e2e_case "the menu entry opens a game folder under the XDG data folder" \
  menu_entry_opens_a_folder_of_the_users_own
e2e_case "vtlaunch --help and --version print without a window" help_and_version_without_a_window
e2e_case "a launcher in an unwritable folder without -dir refuses in one line" \
  unwritable_program_folder_without_dir_is_refused
e2e_finish
