#!/usr/bin/env bash
# Builds the Debian package from this build tree and checks it as a user's machine would see it.
# usage: package_test.sh BUILD_DIR SOURCE_DIR CHECK
# CHECK: build | lintian | metadata | man | completion | install | unprivileged | wizard
# Exit 77 (skipped) only when a tool the check needs is not installed.
set -euo pipefail

build_dir=$1
source_dir=$2
check=$3
out="$build_dir/package-test"

# Folders to remove when the check ends.
cleanup=()
trap 'rm -rf "${cleanup[@]}"' EXIT

skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
need() { for tool in "$@"; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done; }

deb() {
  local found=("$out"/palvara_*.deb)
  [[ -f ${found[0]} ]] || skip "no package was built (see the build check)"
  echo "${found[0]}"
}

# Unpacks the package into a fresh folder that every user can read; prints the folder.
unpack() {
  local root
  root=$(mktemp -d "${TMPDIR:-/tmp}/palvara-unpacked.XXXXXX")
  chmod 755 "$root"
  dpkg-deb -x "$(deb)" "$root"
  echo "$root"
}

has_wizard() { [[ -x $1/usr/bin/palvara ]]; }

check_build() {
  need cpack dpkg-deb dpkg-shlibdeps
  rm -rf "$out"
  mkdir -p "$out"
  cpack -G DEB -B "$out" --config "$build_dir/CPackConfig.cmake" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; fail "cpack"; }
  local package
  package=$(deb)
  dpkg-deb --info "$package"
  dpkg-deb --contents "$package" | tee "$out/contents.txt"
  # The tree a user gets, whatever the build prefix.
  grep -Eq " ./usr/lib/([^/]+/)?palvara/libItemDecodeA.so\$" "$out/contents.txt" ||
    fail "the companion library is not in the package"
  for path in ./usr/bin/palvara-cli \
      ./usr/share/man/man1/palvara-cli.1.gz ./usr/share/doc/palvara/copyright \
      ./usr/share/doc/palvara/changelog.gz ./usr/share/bash-completion/completions/palvara-cli; do
    grep -q " $path\$" "$out/contents.txt" || fail "$path is not in the package"
  done
  if [[ -d $source_dir/data ]]; then
    grep -q " ./usr/share/palvara/" "$out/contents.txt" || fail "the data folder is not installed"
  fi
  if grep -q " ./usr/bin/palvara\$" "$out/contents.txt"; then
    for path in ./usr/share/applications/palvara.desktop \
        ./usr/share/metainfo/org.palvara.palvara.metainfo.xml \
        ./usr/share/icons/hicolor/scalable/apps/palvara.svg ./usr/share/man/man1/palvara.1.gz \
        ./usr/share/mime/packages/palvara.xml; do
      grep -q " $path\$" "$out/contents.txt" || fail "$path is not in the package"
    done
  fi
  # Dependencies come from the binaries: at least the C and C++ runtimes.
  local depends
  depends=$(dpkg-deb -f "$package" Depends)
  [[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "Depends: $depends"
  [[ $(dpkg-deb -f "$package" Version) == "$(version_of_build)" ]] ||
    fail "package version $(dpkg-deb -f "$package" Version) is not $(version_of_build)"
}

version_of_build() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt"; }

check_lintian() {
  need lintian
  local report
  report=$(lintian --tag-display-limit 0 --display-info "$(deb)" 2>&1) || true
  echo "$report"
  if grep -q '^E: ' <<<"$report"; then fail "lintian reports errors"; fi
}

check_metadata() {
  need desktop-file-validate appstreamcli dpkg-deb
  local root desktop metainfo mime
  root=$(unpack)
  cleanup+=("$root")
  if has_wizard "$root"; then
    desktop=$root/usr/share/applications/palvara.desktop
    metainfo=$root/usr/share/metainfo/org.palvara.palvara.metainfo.xml
    mime=$root/usr/share/mime/packages/palvara.xml
    # The icon the entry names exists at every size, and each PNG is the size it claims.
    for size in 16 22 24 32 48 64 128 256; do
      local png=$root/usr/share/icons/hicolor/${size}x${size}/apps/palvara.png
      [[ -f $png ]] || fail "no $size px icon"
      [[ $(png_size "$png") == "$size $size" ]] || fail "$png is $(png_size "$png")"
    done
  else
    echo "the package has no wizard: checking the files it will ship"
    desktop=$source_dir/packaging/palvara.desktop
    metainfo=$build_dir/packaging/org.palvara.palvara.metainfo.xml
    mime=$source_dir/packaging/palvara-mime.xml
  fi
  # The file type the entry opens is defined for PST and OST names.
  if command -v update-mime-database >/dev/null; then
    local database
    database=$(mktemp -d)
    cleanup+=("$database")
    mkdir "$database/packages"
    cp "$mime" "$database/packages/palvara.xml"
    update-mime-database "$database" >/dev/null || fail "update-mime-database"
    for glob in '*.pst' '*.ost'; do
      grep -Fqx "50:application/vnd.ms-outlook:$glob" "$database/globs2" || fail "no type for $glob"
    done
  fi
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
  grep -qx 'Exec=palvara %f' "$desktop" || fail "Exec line"
  grep -qx 'MimeType=application/vnd.ms-outlook;' "$desktop" || fail "MimeType line"
  grep -qx 'Icon=palvara' "$desktop" || fail "Icon line"
  appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
  grep -q "<release version=\"$(version_of_build)\"" "$metainfo" ||
    fail "the metadata's release is not the build's version"
}

# "WIDTH HEIGHT" of a PNG file, from its header.
png_size() {
  od -An -tu1 -j16 -N8 "$1" |
    awk '{ printf "%d %d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }'
}

check_man() {
  need man dpkg-deb
  local root
  root=$(unpack)
  cleanup+=("$root")
  local pages=("$root/usr/share/man/man1/palvara-cli.1.gz")
  if has_wizard "$root"; then pages+=("$root/usr/share/man/man1/palvara.1.gz"); fi
  for page in "${pages[@]}"; do
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
    local text
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$page" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES ENVIRONMENT; do
      grep -qx "$section" <<<"$text" || fail "$(basename "$page") has no $section section"
    done
  done
  # Every command and every option the program's help names is in its manual page.
  local cli=$root/usr/bin/palvara-cli manual
  manual=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "${pages[0]}" 2>/dev/null)
  for command in $(commands_of "$cli"); do
    grep -Eq "^ +$command( |$)" <<<"$manual" || fail "the manual page has no command $command"
    for option in $("$cli" "$command" --help | grep -Eo -- '--[a-z]+(-[a-z]+)*' | sort -u); do
      grep -q -- "$option" <<<"$manual" || fail "the manual page has no $option ($command)"
    done
  done
}

# The commands the program's usage lists.
commands_of() {
  "$1" --help | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p'
}

check_completion() {
  need bash dpkg-deb
  local root
  root=$(unpack)
  cleanup+=("$root")
  local script=$root/usr/share/bash-completion/completions/palvara-cli
  local cli=$root/usr/bin/palvara-cli
  complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
             _palvara_cli; printf "%s\n" "${COMPREPLY[@]}"' _ "$script" "$@" | sort | xargs
  }
  # The commands completed are the commands the program has.
  local completed listed
  completed=$(complete_words palvara-cli "" | tr ' ' '\n' | grep -v '^-' | grep -vx help | xargs)
  listed=$(commands_of "$cli" | sort | xargs)
  [[ $completed == "$listed" ]] || fail "completion offers '$completed', the program has '$listed'"
  [[ $(complete_words palvara-cli rec) == recover ]] || fail "rec does not complete to recover"
  # Each command's options are the ones its help names.
  for command in $listed; do
    local offered named
    offered=$(complete_words palvara-cli "$command" FILE -- | tr ' ' '\n' | grep -v -- '--help' | xargs)
    named=$("$cli" "$command" --help | grep -Eo -- '--[a-z]+(-[a-z]+)*' | grep -v -- '--help' | sort -u | xargs)
    [[ $offered == "$named" ]] || fail "$command: completion offers '$offered', help names '$named'"
  done
  [[ $(complete_words palvara-cli make-sample --encoding c) == cyclic ]] || fail "--encoding values"
  # Store files in any letter case, other files not.
  local files
  files=$(mktemp -d)
  cleanup+=("$files")
  touch "$files/a.pst" "$files/B.OST" "$files/c.txt"
  [[ $(complete_words palvara-cli info "$files/") == "$files/B.OST $files/a.pst" ]] ||
    fail "store file completion: $(complete_words palvara-cli info "$files/")"
}

# `make install` lays out the same tree as the package, and it works from any prefix.
check_install() {
  need cmake dpkg-deb
  local staged
  staged=$(mktemp -d "${TMPDIR:-/tmp}/palvara-staged.XXXXXX")
  cleanup+=("$staged")
  DESTDIR=$staged cmake --install "$build_dir" --prefix /usr >/dev/null
  local installed packaged
  installed=$(cd "$staged" && find . -mindepth 1 \( -type f -o -type l \) | sort)
  packaged=$(dpkg-deb --contents "$(deb)" | awk '$1 !~ /^d/ { print $6 }' | sort)
  [[ $installed == "$packaged" ]] ||
    fail "install and package differ: $(diff <(echo "$installed") <(echo "$packaged"))"
  local moved=$staged/elsewhere
  mkdir -p "$moved"
  mv "$staged/usr"/* "$moved"/
  "$moved/bin/palvara-cli" --version | grep -qx "palvara-cli $(version_of_build)" ||
    fail "the installed program under another prefix"
  # It finds its companion library relative to itself.
  local home=$staged/home
  mkdir -p "$home"
  local env=(env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_STATE_HOME -u PALVARA_SETTINGS
             HOME="$home")
  "${env[@]}" "$moved/bin/palvara-cli" make-sample --out "$home/s.pst" --messages 5 >/dev/null
  local warnings
  warnings=$("${env[@]}" "$moved/bin/palvara-cli" analyze "$home/s.pst" 2>&1 >/dev/null)
  [[ $warnings != *companion* ]] || fail "$warnings"
  local companion
  companion=$(find "$moved/lib" -name libItemDecodeA.so)
  mv "$companion" "$companion.moved"
  warnings=$("${env[@]}" "$moved/bin/palvara-cli" analyze "$home/s.pst" 2>&1 >/dev/null)
  [[ $warnings == *companion* ]] || fail "a missing companion library is not noticed"
}

# The unpacked programs, run by a user who owns nothing but a home folder and the target.
check_unprivileged() {
  need dpkg-deb
  local root work
  root=$(unpack)
  work=$(mktemp -d "${TMPDIR:-/tmp}/palvara-user.XXXXXX")
  cleanup+=("$root" "$work")
  chmod 755 "$work"
  mkdir -p "$work/home" "$work/target" "$work/tmp"
  local as_user=()
  if [[ $(id -u) -eq 0 ]]; then
    command -v setpriv >/dev/null || skip "setpriv is not installed"
    chown nobody "$work/home" "$work/target" "$work/tmp"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  else
    chmod -R a-w "$root"  # an installed tree is not the user's to write
  fi
  local marker=$work/marker
  touch "$marker"
  sleep 1
  # A clean environment: the settings, data, state and temporary folders all derive from HOME
  # and TMPDIR.
  local env=(env -i HOME="$work/home" TMPDIR="$work/tmp" PATH=/usr/bin:/bin LC_ALL=C.UTF-8
             ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}")
  local cli=$root/usr/bin/palvara-cli
  "${as_user[@]}" "${env[@]}" "$cli" --version | grep -qx "palvara-cli $(version_of_build)" ||
    fail "--version"
  "${as_user[@]}" "${env[@]}" "$cli" make-sample --out "$work/home/sample.pst" --messages 40
  "${as_user[@]}" "${env[@]}" "$cli" recover "$work/home/sample.pst" --to "$work/target" ||
    fail "recover as an unprivileged user"
  local saved=("$work/target"/*.pst)
  [[ -f ${saved[0]} ]] || fail "no new PST in the target"
  "${as_user[@]}" "${env[@]}" "$cli" check "${saved[0]}" || fail "the new PST does not check"
  # The activity log went to the user's state folder: the installed data folder is read-only.
  local log="$work/home/.local/state/palvara/Activity Log.txt"
  grep -q "Palvara for Microsoft Outlook" "$log" || fail "no activity log in the state folder"
  wrote_only_in "$root" "$marker" "$work/home" "$work/target" "$work/tmp"
}

# Fails when the user of the run wrote anything since MARKER outside the given folders (the
# private TMPDIR itself may be touched, but must be left empty).
wrote_only_in() {
  local root=$1 marker=$2 home=$3 target=$4 tmp=$5 written
  [[ -z $(ls -A "$tmp") ]] || fail "left in TMPDIR: $(ls -A "$tmp")"
  if [[ $(id -u) -eq 0 ]]; then
    written=$(find / /dev/shm -xdev \( -path /proc -o -path /sys \) -prune -o -user nobody \
                -newer "$marker" -print 2>/dev/null |
              grep -v -e "^$home" -e "^$target" -e "^$tmp\$" || true)
  else
    written=$(find "$root" -newer "$marker" -print)
  fi
  [[ -z $written ]] || fail "written outside HOME and the target: $written"
}

# The unpacked wizard, run offscreen by the same unprivileged user, until step 1 is shown.
check_wizard() {
  need dpkg-deb
  local root work
  root=$(unpack)
  work=$(mktemp -d "${TMPDIR:-/tmp}/palvara-user.XXXXXX")
  cleanup+=("$root" "$work")
  has_wizard "$root" || skip "the package has no wizard"
  chmod 755 "$work"
  mkdir -p "$work/home" "$work/shots" "$work/tmp"
  local as_user=()
  if [[ $(id -u) -eq 0 ]]; then
    command -v setpriv >/dev/null || skip "setpriv is not installed"
    chown nobody "$work/home" "$work/shots" "$work/tmp"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  else
    chmod -R a-w "$root"
  fi
  local env=(env -i HOME="$work/home" TMPDIR="$work/tmp" PATH=/usr/bin:/bin LC_ALL=C.UTF-8
             QT_QPA_PLATFORM=offscreen ASAN_OPTIONS="${ASAN_OPTIONS:-}"
             UBSAN_OPTIONS="${UBSAN_OPTIONS:-}")
  local marker=$work/marker
  touch "$marker"
  sleep 1
  "${as_user[@]}" "${env[@]}" "$root/usr/bin/palvara" --version | grep -q "$(version_of_build)" ||
    fail "the wizard's --version"
  "${as_user[@]}" "${env[@]}" timeout 300 "$root/usr/bin/palvara" --screenshots "$work/shots" ||
    fail "the wizard did not run"
  ls -l "$work/shots"
  local step1=("$work/shots"/*step1.png)
  [[ -s ${step1[0]} ]] || fail "no picture of step 1"
  [[ $(png_size "${step1[0]}") != "0 0" ]] || fail "an empty picture of step 1"
  # Qt keeps its runtime folder in TMPDIR when XDG_RUNTIME_DIR is not set.
  rm -rf "$work/tmp/runtime-"*
  wrote_only_in "$root" "$marker" "$work/home" "$work/shots" "$work/tmp"
}

"check_$check"
