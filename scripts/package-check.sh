#!/bin/bash
# Builds the Debian package (build-deb/) and proves it: lintian on the file; installed with
# apt-get, the programs, man pages, desktop file, metainfo and completion, and the man
# pages' examples run against simulated devices; the Ansible example played against
# simulated devices; then purged, with nothing left behind.
#
#   scripts/package-check.sh [--build-only]
#
# Installing touches /usr for a moment, so it needs root (or sudo), and runs under a
# machine-wide lock: two checks at once would remove each other's package. Everything that
# sends a packet runs inside a private network namespace on 127.0.0.x addresses.
# Exit 0 when every check passed, 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-deb"
lock=/run/lock/ftpupg-package-check.lock

if [ "${1:-}" = --inside-netns ]; then
    shift
    # shellcheck source=../tests/packaging/check-lib.sh
    . "$root/tests/packaging/check-lib.sh"
    "$@"
    exit
fi

say() { printf 'package-check: %s\n' "$*" >&2; }
fail() { say "FAILED: $*"; exit 1; }

# --------------------------------------------------------------------------- build
# Debian's own compiler and linker flags (hardening, reproducible paths), as a package
# build on Debian would use them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cd "$root"
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DFTPUPG_TESTS=OFF "-DCMAKE_C_FLAGS=$cflags" "-DCMAKE_CXX_FLAGS=$cxxflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/ftpupg_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/ftpupg_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no ftpupg_*.deb"
deb=${debs[0]}
say "built $(basename "$deb")"

# Lintian must report no error, and no warning but those kept on purpose (each with its
# reason in packaging/lintian-kept and docs/packaging.md).
report=$(lintian --allow-root --display-level ">=warning" "$deb" 2>&1 | grep -v "running with root" || true)
[ -z "$report" ] || printf '%s\n' "$report" >&2
! grep -q "^E: " <<<"$report" || fail "lintian reports errors on $(basename "$deb")"
new=$(grep "^W: " <<<"$report" | awk '{print $3}' | sort -u |
      grep -vxF -f <(grep -v '^#' "$root/packaging/lintian-kept" | awk 'NF {print $1}') || true)
[ -z "$new" ] || fail "lintian warnings not kept on purpose: $new"
say "lintian: no errors, only the warnings kept on purpose"
[ "${1:-}" = --build-only ] && exit 0

# --------------------------------------------------------------------------- install
sudo=""
if [ "$(id -u)" != 0 ]; then
    sudo -n true 2>/dev/null || fail "installing the package needs root or sudo without a password"
    sudo="sudo -n"
fi
apt_get() {
    local out
    out=$($sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q "$@" 2>&1) ||
        { printf '%s\n' "$out" >&2; fail "apt-get $*"; }
}

exec 9>"$lock"
say "waiting for the package check lock" && flock 9

packages_before=$(dpkg-query -W -f='${Package}\n' | sort)
purge() {
    if dpkg-query -W -f='${Status}' ftpupg 2>/dev/null | grep -q "ok installed\|config-files"; then
        apt_get purge ftpupg
    fi
}
trap purge EXIT

# What apt would install besides ftpupg must already be there (setup.sh and the build
# bring it), else the purge would leave it behind.
install_package() {
    apt_get install --no-install-recommends "$deb"
    local extra
    extra=$(comm -13 <(echo "$packages_before") <(dpkg-query -W -f='${Package}\n' | sort) | grep -vx ftpupg || true)
    [ -z "$extra" ] || fail "installing the package also installed: $extra"
}

# Every file and folder of the package is gone again, and no other package came or went.
check_nothing_left() {
    purge
    local path left=()
    while read -r path; do
        path=${path#.}
        [ -n "$path" ] && [ "$path" != / ] || continue
        # Shared folders (/usr/share/man/man1, ...) stay when other packages use them.
        if [ -d "$path" ] && [ ! -L "$path" ]; then
            dpkg-query -S "$path" >/dev/null 2>&1 || left+=("$path/")
        elif [ -e "$path" ] || [ -L "$path" ]; then
            left+=("$path")
        fi
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)
    [ ${#left[@]} -eq 0 ] || fail "left behind after purge: ${left[*]}"
    [ "$(dpkg-query -W -f='${Package}\n' | sort)" = "$packages_before" ] ||
        fail "the installed packages differ from before the check"
    local status
    status=$(dpkg-query -W -f='${db:Status-Status}' ftpupg 2>/dev/null || true)
    [ -z "$status" ] || [ "$status" = not-installed ] || fail "dpkg still has ftpupg as $status"
}

# /usr/share/doc/ftpupg: the operator's README (not the developer's), the examples, the
# Ansible role as it is in the source, licences; and no reference to a file that is not
# there: links of the Markdown files, paths and examples/ names in the README.
check_docs() {
    local doc=/usr/share/doc/ftpupg ok=0 file target
    [ -f $doc/README ] && [ ! -e $doc/README.md ] || { say "no operator README, or the developer's"; ok=1; }
    for file in examples/site/FTPUPG.ini examples/site/note1.txt examples/site/note2.txt examples/devices.txt \
                examples/ansible/site.yml changelog.gz changelog.Debian.gz; do
        [ -f "$doc/$file" ] || { say "no $doc/$file"; ok=1; }
    done
    diff -r "$root/docs/ansible" $doc/examples/ansible >&2 || { say "the Ansible example differs from docs/ansible"; ok=1; }
    # What an operator reads names only what the package installs.
    ! grep -nE '(^|[ `(])(tests|scripts|docs)/' $doc/examples/ansible/README.md >&2 ||
        { say "the Ansible README names files only the source tree has"; ok=1; }
    grep -q "ansible_connection: local" $doc/examples/ansible/README.md || { say "no local inventory to copy"; ok=1; }
    # The window's focus starts in the IP box: the notes say where to click, and name no other device.
    local ini_ip
    ini_ip=$(sed -n 's/^IP=//p' $doc/examples/site/FTPUPG.ini | tr -d '\r')
    grep -qi "click the password box" $doc/examples/site/note1.txt || { say "note1.txt does not say to click the password box"; ok=1; }
    ! grep -oE '[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+' $doc/examples/site/note1.txt | grep -vxF "$ini_ip" >&2 ||
        { say "note1.txt names an address FTPUPG.ini does not"; ok=1; }
    grep -q "^License: BSD-3-clause" $doc/copyright && grep -q "^License: Expat" $doc/copyright ||
        { say "copyright lacks the bundled libraries' licences"; ok=1; }
    while read -r file target; do
        case $target in http://* | https://* | mailto:* | "#"*) continue ;; esac
        [ -e "$(dirname "$file")/${target%%#*}" ] || { say "dead link in $file: $target"; ok=1; }
    done < <(find $doc -name '*.md' -exec grep -oHE '\]\([^)]+\)' {} + | sed -E 's/:\]\((.*)\)$/ \1/')
    while read -r target; do
        target=${target%[.,:;]}
        case $target in
            /*) [ -e "$target" ] || { say "the README names $target, which is not installed"; ok=1; } ;;
            *) [ -e "$doc/$target" ] || { say "the README names $target, which is not installed"; ok=1; } ;;
        esac
    done < <(grep -oE '(^|[ (])(/usr/[^ )"]+|examples/[^ )"]*)' $doc/README | sed -E 's/^[ (]//' | sort -u)
    return $ok
}

# FTPUPG.ini has a type of its own, the window is offered for it, and other INI files
# keep the type they had.
check_settings_type() {
    command -v gio >/dev/null && command -v update-mime-database >/dev/null || { say "no gio: type not checked"; return 0; }
    local dir ok=0
    dir=$(mktemp -d)
    # With content: the type of an empty file is not looked up by name.
    local file
    for file in FTPUPG.ini other.ini ftpupg.ini; do printf '[Data]\nIP=127.0.0.15\n' >"$dir/$file"; done
    type_of() { gio info -a standard::content-type "$dir/$1" | awk '/content-type:/ { print $2 }'; }
    [ "$(type_of FTPUPG.ini)" = application/x-morvane-ftpupg-settings ] || { say "FTPUPG.ini is $(type_of FTPUPG.ini)"; ok=1; }
    for file in other.ini ftpupg.ini; do
        [ "$(type_of $file)" = "$ini_type" ] || { say "$file became $(type_of $file), not $ini_type"; ok=1; }
    done
    grep -qx "MimeType=application/x-morvane-ftpupg-settings;" /usr/share/applications/ftpupg.desktop ||
        { say "the desktop entry is not offered for FTPUPG.ini"; ok=1; }
    rm -rf "$dir"
    return $ok
}

ini_probe=$(mktemp --suffix=.ini)
printf '[Data]\nIP=127.0.0.15\n' >"$ini_probe"
ini_type=$(gio info -a standard::content-type "$ini_probe" 2>/dev/null | awk '/content-type:/ { print $2 }' || true)
rm -f "$ini_probe"
install_package
say "installed $(dpkg-query -W -f='${Package} ${Version}' ftpupg)"

# Installed programs are the packaged ones, finding libndxl in its private folder.
# The package's version is the programs' with the Debian revision after a dash.
version=$(dpkg-query -W -f='${Version}' ftpupg)
upstream=${version%-*}
[ "$version" != "$upstream" ] || fail "the package version $version has no Debian revision"
[ "$(command -v ftpupg)" = /usr/bin/ftpupg ] || fail "ftpupg is not /usr/bin/ftpupg"
# One line: the program, its version and the maker.
[ "$(ftpupg --version | wc -l)" = 1 ] && ftpupg --version | grep -qx "ftpupg $upstream (.*)" || fail "ftpupg --version"
tftpput --version >/dev/null || fail "tftpput --version"
# Not "grep -q": it stops reading early, and with pipefail ldd's broken pipe fails the check.
ldd /usr/bin/ftpupg | grep "libndxl.so => /usr/.*lib/.*/ftpupg/libndxl.so" >/dev/null || fail "ftpupg does not find libndxl"
# Debian shares the C++ runtime: no program of the package carries its own copy.
for p in ftpupg ftpupg-cli tftpput; do
  ldd "/usr/bin/$p" | grep "libstdc++.so" >/dev/null || fail "$p links the C++ runtime statically"
done
cli_programs=()
if [ -x /usr/bin/ftpupg-cli ]; then
    ftpupg-cli --help >/dev/null || fail "ftpupg-cli --help"
    cli_programs=(ftpupg-cli)
fi
for page in ftpupg tftpput "${cli_programs[@]}"; do
    man -w "$page" >/dev/null || fail "man -w $page"
    lexgrog "$(man -w "$page")" >/dev/null || fail "lexgrog $page"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -Tutf8 "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man --warnings $page: $warnings"
done
desktop-file-validate /usr/share/applications/ftpupg.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net /usr/share/metainfo/com.morvane.ftpupg.metainfo.xml >/dev/null ||
    fail "appstreamcli validate"
grep -q "<release version=\"$upstream\"" /usr/share/metainfo/com.morvane.ftpupg.metainfo.xml ||
    fail "the metainfo has no release entry for this version"
check_docs || fail "the operator's documentation"
check_settings_type || fail "the type of FTPUPG.ini"
for program in ftpupg tftpput "${cli_programs[@]}"; do
    bash -c ". /usr/share/bash-completion/completions/$program && complete -p $program" >/dev/null ||
        fail "no bash completion for $program"
done
# The dissector where the man page says, loading in tshark without an error.
lua=/usr/share/ftpupg/wireshark/ftpupg-ndxl.lua
[ -f "$lua" ] || fail "no Wireshark dissector at $lua"
if command -v tshark >/dev/null; then
    # An empty capture (raw IPv4) filtered by one of its fields: unknown unless the script loaded.
    printf '\xd4\xc3\xb2\xa1\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\x00\x00\x65\x00\x00\x00' |
        tshark -X lua_script:"$lua" -Y ndxl.name -r - >/dev/null 2>&1 || fail "tshark does not load $lua"
fi
# An interactive shell loads the completions only through bash-completion.
dpkg-deb -f "$deb" Recommends | grep -qw bash-completion || fail "the package does not recommend bash-completion"
say "programs, man pages, desktop file, metainfo, completions and documentation installed"

$sudo "$root/scripts/netns-run" "$0" --inside-netns check_man_examples "$build" || fail "man page examples"
say "man page examples work"

check_nothing_left
say "purged, nothing left behind"

# --------------------------------------------------------------------------- Ansible
if [ -x "$build/cli/ftpupg-cli" ] || [ -x /usr/bin/ftpupg-cli ] || dpkg-deb -c "$deb" | grep ftpupg-cli >/dev/null; then
    $sudo "$root/scripts/netns-run" "$0" --inside-netns check_ansible "$build" "$deb" || fail "Ansible play"
    check_nothing_left
    say "Ansible play matches the devices' outcomes; purged, nothing left behind"
else
    say "the package has no ftpupg-cli: the Ansible play is not checked"
fi
say "all checks passed"
