#!/usr/bin/env bash
# `cmake --install` into a temporary prefix, checked the way the desktop uses
# the result. Usage: install_test.sh BUILD_DIR CASE
set -euo pipefail
source "$(dirname "$0")/install_lib.sh"

build_dir=$1
case_name=$2
make_work
prefix="$work/prefix"
bundle="$prefix/lib/corvantis/Corvantis.app"
opener_program="$bundle/Contents/MacOS/corvantis-opener"
agent_program="$bundle/Contents/Resources/agent/CorvantisAgent"
desktop_file="$prefix/share/applications/corvantis-opener.desktop"
unit_file="$prefix/lib/systemd/user/corvantis.agent.service"

# Every file the install must give, with its kind: x executable, f regular
# file, l symbolic link.
expected_files=(
  "x lib/corvantis/Corvantis.app/Contents/MacOS/corvantis-opener"
  "x lib/corvantis/Corvantis.app/Contents/Resources/agent/CorvantisAgent"
  "l bin/corvantis-opener"
  "f share/applications/corvantis-opener.desktop"
  "f share/mime/packages/corvantis.xml"
  "f share/icons/hicolor/scalable/apps/corvantis.svg"
  "f share/icons/hicolor/scalable/mimetypes/application-x-corvantis-tract.svg"
  "f lib/systemd/user/corvantis.agent.service"
  "f share/man/man1/corvantis-opener.1.gz"
  "f share/doc/corvantis/copyright"
  "f share/doc/corvantis/changelog.gz"
)

# desktop_value KEY: the value of KEY in the desktop entry.
desktop_value() {
  sed -n "s/^$1=//p" "$desktop_file"
}

case_layout() {
  install_into "$prefix"
  local entry kind path
  for entry in "${expected_files[@]}"; do
    kind=${entry%% *}
    path="$prefix/${entry#* }"
    case $kind in
      x) [[ -f $path && -x $path ]] || fail "not an executable file: $path" ;;
      f) [[ -f $path && ! -L $path ]] || fail "not a regular file: $path" ;;
      l) [[ -L $path ]] || fail "not a symbolic link: $path" ;;
    esac
  done
  if [[ -e "$build_dir/Corvantis.app/Contents/MacOS/corvantis-alert" ]]; then
    [[ -x "$bundle/Contents/MacOS/corvantis-alert" ]] || fail "corvantis-alert is built but not installed"
  fi
  # The link is relative, so it holds in a staging folder and after a move.
  local target
  target=$(readlink "$prefix/bin/corvantis-opener")
  [[ $target != /* ]] || fail "bin/corvantis-opener is an absolute link: $target"
  [[ $(readlink -f "$prefix/bin/corvantis-opener") == "$opener_program" ]] ||
    fail "bin/corvantis-opener leads to $(readlink -f "$prefix/bin/corvantis-opener")"
  # No installed text names the build tree, the source tree or a fixed prefix.
  local hits
  hits=$(grep -rlE -e "$build_dir" -e '/opt/' "$prefix/share" "$prefix/lib/systemd" || true)
  [[ -z $hits ]] || fail "installed files name the build tree or /opt: $hits"
}

case_desktop_entry() {
  install_into "$prefix"
  desktop-file-validate "$desktop_file" || fail "desktop-file-validate rejects $desktop_file"
  local key want got
  for key in "Exec=$prefix/bin/corvantis-opener %U" "TryExec=$prefix/bin/corvantis-opener" \
             "MimeType=application/x-corvantis-tract;" "NoDisplay=true" "Terminal=false" \
             "StartupNotify=true" "Icon=corvantis" "Type=Application"; do
    want=${key#*=}
    got=$(desktop_value "${key%%=*}")
    [[ $got == "$want" ]] || fail "${key%%=*}=$got, want $want"
  done
}

case_user_service() {
  install_into "$prefix"
  local exec_start
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit_file")
  [[ $exec_start == "$agent_program" ]] || fail "ExecStart=$exec_start, want $agent_program"
  # The unit names its manual page: let `man` find the installed one. Both
  # as a system and as a user unit, with a runtime folder of the test's own.
  mkdir -p "$work/runtime"
  MANPATH="$prefix/share/man" systemd-analyze verify "$unit_file" ||
    fail "systemd-analyze verify rejects $unit_file"
  MANPATH="$prefix/share/man" HOME="$work" XDG_RUNTIME_DIR="$work/runtime" \
    systemd-analyze --user verify "$unit_file" || fail "systemd-analyze --user verify rejects $unit_file"
}

case_mime_type() {
  install_into "$prefix"
  hermetic_desktop "$prefix/share"
  update-mime-database "$prefix/share/mime"
  update-desktop-database "$prefix/share/applications"
  mkdir -p "$work/docs"
  # name -> the type gio must give it.
  local -A names=(
    [plan.corva]=application/x-corvantis-tract
    [PLAN.CORVA]=application/x-corvantis-tract
    [Plan.Corva]=application/x-corvantis-tract
    [plan.corva.txt]=text/plain
    [corva]=text/plain
  )
  local name got
  for name in "${!names[@]}"; do
    echo "tract" >"$work/docs/$name"
    got=$(gio info -a standard::content-type "$work/docs/$name" | sed -n 's/^ *standard::content-type: //p')
    [[ $got == "${names[$name]}" ]] || fail "$name has the type $got, want ${names[$name]}"
  done
  grep -q 'application-x-corvantis-tract' <<<"$(gio info -a standard::icon "$work/docs/plan.corva")" ||
    fail "a tract does not get the tract icon: $(gio info -a standard::icon "$work/docs/plan.corva")"
  # GTK with the Adwaita theme (GNOME's) finds the package's own file for
  # the type, not a generic icon of the theme.
  local icon
  icon=$(/usr/bin/python3 "$(dirname "$0")/icon_lookup.py" application/x-corvantis-tract Adwaita 48) ||
    fail "the icon lookup through GTK failed"
  [[ $icon == "$prefix/share/icons/hicolor/scalable/mimetypes/application-x-corvantis-tract.svg" ]] ||
    fail "GTK with Adwaita shows a tract with $icon, not the package's icon"
  # With nothing chosen by the user, the opener is the type's default.
  local mime
  mime=$(gio mime application/x-corvantis-tract)
  grep -q '^Default application for .*application/x-corvantis-tract.*: corvantis-opener.desktop$' <<<"$mime" ||
    fail "the opener is not the default application: $mime"
}

case_gio_open() {
  install_into "$prefix"
  hermetic_desktop "$prefix/share"
  update-mime-database "$prefix/share/mime"
  update-desktop-database "$prefix/share/applications"
  open_like_a_file_manager "$opener_program" "$agent_program"
}

case_manual() {
  install_into "$prefix"
  local page="$prefix/share/man/man1/corvantis-opener.1.gz"
  gzip -t "$page" || fail "$page is not gzip data"
  local warnings
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >"$work/page.txt") ||
    fail "man cannot render $page: $warnings"
  [[ -z $warnings ]] || fail "man warns about $page: $warnings"
  local word
  for word in --help --version --diagnose CORVANTIS_AGENT_DIR APPDATA HOME CORVANTIS_LOG_STDERR \
              "journalctl --user -t corvantis-opener" CORVANTIS_STEM open-requests agent.lock agent.log \
              "systemctl --user enable --now corvantis.agent.service"; do
    grep -qF -- "$word" "$work/page.txt" || fail "the manual page does not mention $word"
  done
}

case_destdir() {
  # The package's way: prefix /usr, files below a staging folder.
  install_into /usr "$work/stage"
  [[ -x "$work/stage/usr/lib/corvantis/Corvantis.app/Contents/MacOS/corvantis-opener" ]] ||
    fail "the staged install has no opener"
  grep -qxF "Exec=/usr/bin/corvantis-opener %U" "$work/stage/usr/share/applications/corvantis-opener.desktop" ||
    fail "staged desktop entry: $(grep ^Exec= "$work/stage/usr/share/applications/corvantis-opener.desktop")"
  grep -qxF "ExecStart=/usr/lib/corvantis/Corvantis.app/Contents/Resources/agent/CorvantisAgent" \
    "$work/stage/usr/lib/systemd/user/corvantis.agent.service" || fail "staged unit names the wrong agent"
  ! grep -rqF "$work/stage" "$work/stage/usr/share" "$work/stage/usr/lib/systemd" ||
    fail "staged files name the staging folder"
  # The install manifest (what an uninstall removes) lists the generated
  # files too.
  local file
  for file in /usr/share/applications/corvantis-opener.desktop /usr/lib/systemd/user/corvantis.agent.service; do
    grep -qxF "$file" "$build_dir/install_manifest.txt" || fail "$file is missing from install_manifest.txt"
  done
}

case_prefix_refused() {
  # Exec= and ExecStart= take the path unquoted: a prefix they would read
  # differently must stop the install instead of giving a broken entry.
  local bad="$work/with space"
  if DESTDIR="" cmake --install "$build_dir" --prefix "$bad" >"$work/install.log" 2>&1; then
    fail "an install to a prefix with a space succeeded"
  fi
  grep -q "install prefix must be an absolute path" "$work/install.log" || { cat "$work/install.log" >&2; fail "no reason given"; }
  [[ ! -e "$bad/share/applications/corvantis-opener.desktop" ]] || fail "a broken desktop entry was installed"
}

need_tools cmake desktop-file-validate update-mime-database update-desktop-database gio systemd-analyze man gzip
"case_$case_name"
echo "PASS: $case_name"
