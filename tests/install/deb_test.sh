#!/usr/bin/env bash
# The Debian package built by cpack: its contents, lintian's verdict, and a
# real install, use and purge. Usage: deb_test.sh BUILD_DIR VERSION CASE
set -euo pipefail
source "$(dirname "$0")/install_lib.sh"

build_dir=$1
version=$2
case_name=$3
out_dir="$build_dir/deb-test"
arch=$(dpkg --print-architecture)
deb="$out_dir/corvantis_${version}_${arch}.deb"
bundle=/usr/lib/corvantis/Corvantis.app
opener_program=$bundle/Contents/MacOS/corvantis-opener
agent_program=$bundle/Contents/Resources/agent/CorvantisAgent

# Every entry of the package that is not a directory.
expected_entries=(
  ./usr/bin/corvantis-opener
  ./usr/lib/corvantis/Corvantis.app/Contents/MacOS/corvantis-alert
  ./usr/lib/corvantis/Corvantis.app/Contents/MacOS/corvantis-opener
  ./usr/lib/corvantis/Corvantis.app/Contents/Resources/agent/CorvantisAgent
  ./usr/lib/systemd/user/corvantis.agent.service
  ./usr/share/applications/corvantis-opener.desktop
  ./usr/share/doc/corvantis/changelog.gz
  ./usr/share/doc/corvantis/copyright
  ./usr/share/icons/hicolor/scalable/apps/corvantis.svg
  ./usr/share/icons/hicolor/scalable/mimetypes/application-x-corvantis-tract.svg
  ./usr/share/man/man1/corvantis-opener.1.gz
  ./usr/share/mime/packages/corvantis.xml
)

need_deb() {
  [[ -f $deb ]] || fail "$deb is missing (the install_deb_build test makes it)"
}

case_build() {
  need_tools cpack dpkg-shlibdeps
  rm -rf "$out_dir"
  mkdir -p "$out_dir"
  (cd "$build_dir" && cpack -G DEB -B "$out_dir") >"$out_dir/cpack.log" 2>&1 ||
    { cat "$out_dir/cpack.log" >&2; fail "cpack failed"; }
  local built
  built=$(cd "$out_dir" && ls -- *.deb)
  [[ $built == "$(basename "$deb")" ]] || fail "cpack made $built, want $(basename "$deb")"
}

case_contents() {
  need_tools dpkg-deb file
  need_deb
  make_work
  local got want
  got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  want=$(printf '%s\n' "${expected_entries[@]}" | sort)
  [[ $got == "$want" ]] || fail "package entries differ:"$'\n'"$(diff <(echo "$want") <(echo "$got"))"
  local listing
  listing=$(dpkg-deb -c "$deb")
  grep -qF -- './usr/bin/corvantis-opener -> ../lib/corvantis/Corvantis.app/Contents/MacOS/corvantis-opener' <<<"$listing" ||
    fail "usr/bin/corvantis-opener is not the relative link into the bundle"

  local field value
  for field in "Package=corvantis" "Version=$version" "Architecture=$arch" "Section=misc" "Priority=optional"; do
    value=$(dpkg-deb -f "$deb" "${field%%=*}")
    [[ $value == "${field#*=}" ]] || fail "${field%%=*}: $value, want ${field#*=}"
  done
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *libc6* && $depends == *libglib2.0-0* ]] ||
    fail "Depends does not come from dpkg-shlibdeps: $depends"
  # The journal is written by its native protocol: no journal library.
  [[ $depends != *libsystemd* ]] || fail "Depends names the journal library: $depends"
  [[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no Maintainer"

  # No maintainer scripts: Debian's file triggers refresh the caches.
  local control
  control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
  [[ $control == "control md5sums " ]] || fail "control archive holds: $control"

  dpkg-deb -x "$deb" "$work/root"
  grep -qxF "Exec=/usr/bin/corvantis-opener %U" "$work/root/usr/share/applications/corvantis-opener.desktop" ||
    fail "desktop entry: $(grep ^Exec= "$work/root/usr/share/applications/corvantis-opener.desktop")"
  grep -qxF "ExecStart=$agent_program" "$work/root/usr/lib/systemd/user/corvantis.agent.service" ||
    fail "user service: $(grep ^ExecStart= "$work/root/usr/lib/systemd/user/corvantis.agent.service")"
  local program
  for program in "$work/root$opener_program" "$work/root$agent_program"; do
    grep -q ', stripped' <<<"$(file "$program")" || fail "not stripped: $(file "$program")"
  done
  local page
  for page in "$work/root/usr/share/man/man1/corvantis-opener.1.gz" "$work/root/usr/share/doc/corvantis/changelog.gz"; do
    grep -q 'max compression' <<<"$(file "$page")" || fail "not gzip -9: $(file "$page")"
    ! grep -q ', was "' <<<"$(file "$page")" || fail "gzip kept the file name: $(file "$page")"
  done
}

case_lintian() {
  need_tools lintian
  need_deb
  local report
  report=$(lintian --display-level '>=pedantic' "$deb" 2>&1 || true)
  echo "$report"
  ! grep -q '^E: ' <<<"$report" || fail "lintian reports errors"
}

case_system() {
  [[ $(id -u) -eq 0 ]] || skip "installs the package into the system: runs only as root"
  need_tools apt-get dpkg-query gio systemd-analyze man
  need_deb
  if package_present; then
    skip "a corvantis package is already installed; it is left alone"
  fi
  make_work
  local before
  before=$(find /usr /etc /var/lib/dpkg/info -iname '*corvantis*' 2>/dev/null | sort)
  touch "$work/marker"
  # Whatever happens below, the system ends without the package.
  trap 'purge_quietly; rm -rf "$work"' EXIT

  apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get install failed"; }
  grep -qx 'install ok installed' <<<"$(dpkg-query -W -f='${Status}\n' corvantis)" || fail "not installed"
  local listed
  listed=$(dpkg -L corvantis)
  [[ $(readlink -f /usr/bin/corvantis-opener) == "$opener_program" ]] || fail "/usr/bin/corvantis-opener is broken"
  grep -qxF /usr/share/man/man1/corvantis-opener.1.gz <<<"$(man -w corvantis-opener)" || fail "man does not find the page"
  systemd-analyze verify /usr/lib/systemd/user/corvantis.agent.service || fail "systemd-analyze rejects the unit"

  # The triggers have refreshed the MIME database: the type is known without
  # a step of the test's own.
  hermetic_desktop /usr/share
  mkdir -p "$work/docs"
  echo "tract" >"$work/docs/PLAN.CORVA"
  local type
  type=$(gio info -a standard::content-type "$work/docs/PLAN.CORVA" | sed -n 's/^ *standard::content-type: //p')
  [[ $type == application/x-corvantis-tract ]] || fail "after the install PLAN.CORVA has the type $type"
  grep -q 'Default application.*: corvantis-opener.desktop$' <<<"$(gio mime application/x-corvantis-tract)" ||
    fail "the opener is not the default: $(gio mime application/x-corvantis-tract)"
  open_like_a_file_manager "$opener_program" "$agent_program"

  apt-get purge -y -q -o DPkg::Lock::Timeout=300 corvantis >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get purge failed"; }
  ! package_present || fail "still known to dpkg after purge: $(dpkg-query -W -f='${Status}' corvantis)"
  local path
  while read -r path; do
    [[ -d $path && ! -L $path ]] && continue
    [[ ! -e $path && ! -L $path ]] || fail "left behind: $path"
  done <<<"$listed"
  [[ ! -e $bundle ]] || fail "left behind: $bundle"
  local after
  after=$(find /usr /etc /var/lib/dpkg/info -iname '*corvantis*' 2>/dev/null | sort)
  [[ $after == "$before" ]] || fail "files named after the package differ after purge:"$'\n'"$(diff <(echo "$before") <(echo "$after"))"
  type=$(gio info -a standard::content-type "$work/docs/PLAN.CORVA" | sed -n 's/^ *standard::content-type: //p')
  [[ $type != application/x-corvantis-tract ]] || fail "the type is still known after the purge"
  echo "files changed below /usr and /etc while installed and purged, by folder (caches the triggers rewrote):"
  find /usr /etc -newer "$work/marker" -not -type d 2>/dev/null | sed 's|/[^/]*$||' | sort | uniq -c || true
}

# package_present: dpkg knows the package in any state but "not installed"
# (a purged package is forgotten altogether).
package_present() {
  local status
  status=$(dpkg-query -W -f='${Status}' corvantis 2>/dev/null || true)
  [[ -n $status && $status != *not-installed ]]
}

purge_quietly() {
  if package_present; then
    echo "purging corvantis" >&2
    apt-get purge -y -q -o DPkg::Lock::Timeout=300 corvantis >/dev/null 2>&1 || dpkg --purge corvantis >/dev/null 2>&1 || true
  fi
}

"case_$case_name"
echo "PASS: $case_name"
