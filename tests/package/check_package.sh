#!/bin/bash
# Builds the Debian package from the build tree and checks it: its file list and modes, its
# dependencies against what the programs really link, the conffile, the unit, lintian, and that it
# installs, keeps an edited settings file, and uninstalls cleanly in a throwaway root. The machine's
# own dpkg database and /etc are never touched.
# Usage: check_package.sh BUILD_DIR SOURCE_DIR VERSION   (exit 77: a needed tool is missing)
set -euo pipefail

build=$(realpath "$1")
source_dir=$(realpath "$2")
version=$3
work=$(mktemp -d /tmp/velstrand-package-check.XXXXXX)
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
for tool in cpack dpkg dpkg-deb dpkg-shlibdeps readelf; do
    command -v "$tool" > /dev/null || { echo "skipped: $tool is not installed (dpkg-dev, binutils)"; exit 77; }
done
host_settings_state() { stat -c '%n %s %Y' /etc/quellbay/conf.cfg 2>/dev/null || echo absent; }
host_before=$(host_settings_state)

# --- build ------------------------------------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
shopt -s nullglob
debs=("$work"/out/velstrand_*.deb)
((${#debs[@]} == 1)) || { cat "$work/cpack.log" >&2; echo "FAIL: expected one .deb, got ${#debs[@]}" >&2; exit 1; }
deb=${debs[0]}
echo "built $(basename "$deb")"
field() { dpkg-deb -f "$deb" "$1"; }

# --- control fields ---------------------------------------------------------------------------------
[[ $(field Package) == velstrand ]] || fail "Package is $(field Package)"
[[ $(field Version) == "$version-1" ]] || fail "Version is $(field Version), expected $version-1"
changelog_version=$(zcat "$build/packaging/changelog.Debian.gz" | sed -n '1s/^velstrand (\([^)]*\)).*/\1/p')
[[ $changelog_version == "$version-1" ]] ||
    fail "the newest changelog entry is $changelog_version, the package $version-1: add an entry"
[[ $(field Recommends) == "redis-server (>= 5:6.2)" ]] || fail "Recommends is '$(field Recommends)'"

# Every library the programs link must be a dependency: find the package that owns each one.
depends=$(field Depends)
depends_names=" $(tr ',' '\n' <<< "$depends" | sed 's/^ *//; s/[ (].*//' | tr '\n' ' ') "
echo "Depends: $depends"
[[ $depends_names == *" procps "* ]] || fail "procps (pgrep) is not a dependency"
for program in velstrand velstrandtest; do
    for soname in $(readelf -d "$build/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        path=$(ldd "$build/$program" | awk -v so="$soname" '$1 == so { print $3 }')
        [[ -n $path ]] || { fail "$program: $soname does not resolve"; continue; }
        owner=$(dpkg-query -S "$(realpath "$path")" 2> /dev/null | head -n1 | cut -d: -f1) ||
            owner=$(dpkg-query -S "$path" 2> /dev/null | head -n1 | cut -d: -f1) || true
        [[ -n $owner ]] || { fail "$program: no package owns $path"; continue; }
        [[ $depends_names == *" $owner "* ]] || fail "$program links $soname of $owner, which Depends lacks"
    done
done
for lib in libhiredis0.14 libconfig++9v5; do
    [[ $depends_names == *" $lib "* ]] || fail "$lib is not a dependency"
done

# --- files ------------------------------------------------------------------------------------------
dpkg-deb -c "$deb" > "$work/contents"
files=$(awk '$1 !~ /^d/ { print $1, $2, $6 }' "$work/contents" | sort -k3)
expected=$(sort -k3 << 'LIST'
-rw-r--r-- root/root ./etc/quellbay/conf.cfg
-rw-r--r-- root/root ./lib/systemd/system/velstrand.service
-rwxr-xr-x root/root ./usr/sbin/velstrand
-rwxr-xr-x root/root ./usr/sbin/velstrandtest
-rw-r--r-- root/root ./usr/share/doc/velstrand/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/velstrand/copyright
-rw-r--r-- root/root ./usr/share/man/man8/velstrand.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/velstrandtest.8.gz
LIST
)
[[ $files == "$expected" ]] || fail "file list differs:$(diff <(echo "$expected") <(echo "$files") | sed 's/^/\n  /')"
[[ $(dpkg-deb -I "$deb" conffiles) == /etc/quellbay/conf.cfg ]] || fail "conffiles is not /etc/quellbay/conf.cfg"

mkdir "$work/x"
dpkg-deb -x "$deb" "$work/x"
cmp -s "$source_dir/conf/velstrand.cfg" "$work/x/etc/quellbay/conf.cfg" || fail "the packaged settings file is not the sample"
unit="$work/x/lib/systemd/system/velstrand.service"
for line in Type=forking ExecStart=/usr/sbin/velstrand Restart=on-failure KillSignal=SIGTERM \
            Wants=redis-server.service WantedBy=multi-user.target; do
    grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
grep -q '^After=.*redis-server\.service' "$unit" || fail "the unit is not ordered after redis-server.service"
grep -q '^RestartSec=[1-9]' "$unit" || fail "the unit restarts without a pause"
! grep -q '^PIDFile=' "$unit" || fail "the unit names a PID file, which the daemon never writes"
# systemd's own parser: every line of the unit must mean something to it. It is pointed at the
# extracted program, since the package is not installed on this machine.
if command -v systemd-analyze > /dev/null; then
    mkdir "$work/unit"
    sed "s#^ExecStart=/usr/sbin/#ExecStart=$work/x/usr/sbin/#" "$unit" > "$work/unit/velstrand.service"
    complaints=$(systemd-analyze verify --man=no "$work/unit/velstrand.service" 2>&1) || true
    [[ -z $complaints ]] || fail "systemd-analyze verify: $complaints"
fi

# --- install, upgrade over an edited settings file, remove, purge, in a throwaway root -------------
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: > "$root/var/lib/dpkg/status"
: > "$root/var/lib/dpkg/available"
rdpkg() { dpkg --root="$root" --log="$work/dpkg.log" --force-depends "$@" >> "$work/dpkg.out" 2>&1; }
status_of() { dpkg --root="$root" -s velstrand 2> /dev/null | sed -n 's/^Status: //p'; }

rdpkg -i "$deb" || { cat "$work/dpkg.out" >&2; fail "dpkg -i into the throwaway root"; }
[[ $(status_of) == "install ok installed" ]] || fail "after install the status is '$(status_of)'"
for f in usr/sbin/velstrand etc/quellbay/conf.cfg lib/systemd/system/velstrand.service; do
    [[ -f $root/$f ]] || fail "$f missing after install"
done
# The programs are never started here (they would detach and cycle); that every library they
# need resolves is enough to know the installed files are the real programs.
for program in velstrand velstrandtest; do
    ! ldd "$root/usr/sbin/$program" | grep -q 'not found' || fail "installed $program misses a library"
done

echo 'application: { settings: { sleeping_time = 5; }; };  # edited' > "$root/etc/quellbay/conf.cfg"
rdpkg -i "$deb" || { cat "$work/dpkg.out" >&2; fail "reinstall over an edited settings file"; }
grep -q '# edited' "$root/etc/quellbay/conf.cfg" || fail "reinstalling replaced the edited settings file"

rdpkg -r velstrand || { cat "$work/dpkg.out" >&2; fail "dpkg -r"; }
[[ $(status_of) == "deinstall ok config-files" ]] || fail "after remove the status is '$(status_of)'"
[[ ! -e $root/usr/sbin/velstrand ]] || fail "remove left the program"
[[ -f $root/etc/quellbay/conf.cfg ]] || fail "remove deleted the settings file (a conffile stays until purge)"

rdpkg -P velstrand || { cat "$work/dpkg.out" >&2; fail "dpkg -P"; }
[[ -z $(status_of) || $(status_of) == "purge ok not-installed" ]] || fail "after purge the status is '$(status_of)'"
left=$(cd "$root" && find . -mindepth 1 ! -path './var/lib/dpkg*' ! -path './var/lib' ! -path './var' | sort)
[[ -z $left ]] || fail "purge left behind:$(sed 's/^/ /' <<< "$left" | tr '\n' ' ')"

[[ $(host_settings_state) == "$host_before" ]] || fail "the machine's own /etc/quellbay/conf.cfg changed"

# --- lintian ----------------------------------------------------------------------------------------
lintian_missing=0
if command -v lintian > /dev/null; then
    if ! lintian --fail-on error "$deb" > "$work/lintian.log" 2>&1; then
        fail "lintian reports errors"
    fi
    sed 's/^/lintian: /' "$work/lintian.log"
else
    lintian_missing=1
fi

if ((failures > 0)); then
    echo "$failures package check(s) failed" >&2
    exit 1
fi
if ((lintian_missing)); then
    echo "skipped: every check passed but lintian is not installed (apt-get install lintian)"
    exit 77
fi
echo "package $(basename "$deb"): all checks passed"
