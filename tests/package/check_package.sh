#!/bin/bash
# What gets shipped: the install rules (DESTDIR and the prefix honoured, an operator's settings
# file kept), the Debian package (files and modes, dependencies of what the programs link,
# lintian), its hardened unit (systemd's verdict and exposure score), the manual page, and an
# install, upgrade over an edited settings file and purge in a throwaway root. The machine's own
# dpkg database and /etc are never touched.
# Usage: check_package.sh BUILD_DIR VERSION   (exit 77: a needed tool is missing)
set -euo pipefail
build=$(realpath "$1") version=$2
work=$(mktemp -d /tmp/velstrand-package-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
for tool in cpack dpkg-deb dpkg-shlibdeps lintian man systemd-analyze; do
    command -v $tool > /dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

# --- install rules: a second install, under another prefix, keeps the edited settings file -------
i=$work/install
for prefix in /usr /opt/v; do
    DESTDIR=$i cmake --install "$build" --prefix $prefix > "$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; echo "FAIL: cmake --install --prefix $prefix" >&2; exit 1; }
    while read -r p; do [[ -e $i$p ]] || fail "installed outside DESTDIR: $p"; done < "$build/install_manifest.txt"
    echo '# edited' >> "$i/etc/quellbay/conf.cfg"
done
[[ $(grep -c '# edited' "$i/etc/quellbay/conf.cfg") == 2 ]] || fail "the second install replaced the settings"
[[ $(grep -c /opt/v/sbin/velstrand "$i/lib/systemd/system/velstrand.service") == 2 ]] ||
    fail "the unit's ExecStart and ExecPaths do not follow the prefix"
warnings=$(MANWIDTH=80 man --warnings -l "$i/usr/share/man/man8/velstrand.8.gz" 2>&1 > /dev/null)
[[ -z $warnings ]] || fail "man --warnings: $warnings"

# --- the package ---------------------------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
deb=$(echo "$work"/out/velstrand_"$version"-1_*.deb)
[[ -f $deb ]] || { echo "FAIL: no $deb" >&2; exit 1; }
[[ $(zcat "$build/packaging/changelog.Debian.gz" | head -n1) == "velstrand ($version-1)"* ]] ||
    fail "the newest changelog entry is not $version-1: add one"
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ $recommends == "redis-server (>= 5:7.0)" ]] || fail "Recommends: $recommends"
depends=" $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[ ,]\+/ /g') "
[[ $depends == *" procps "* ]] || fail "procps (pgrep) is not a dependency"
for so in $(ldd "$build/velstrand" "$build/velstrandtest" | awk '$3 ~ /^\// { print $3 }' | sort -u); do
    owner=$(dpkg-query -S "$so" "$(realpath "$so")" 2> /dev/null | head -n1 | cut -d: -f1) || true
    [[ $depends == *" $owner "* ]] || fail "the programs link $so of '$owner', which Depends lacks"
done
[[ $(dpkg-deb -I "$deb" conffiles) == /etc/quellbay/conf.cfg ]] || fail "conffiles is not the settings file"
# The settings file must stay world-readable: the service's user is allocated when it starts.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort -k3 > "$work/files"
diff "$work/files" - << 'LIST' || fail "file list differs"
-rw-r--r-- root/root ./etc/quellbay/conf.cfg
-rw-r--r-- root/root ./lib/systemd/system/velstrand.service
-rwxr-xr-x root/root ./usr/sbin/velstrand
-rwxr-xr-x root/root ./usr/sbin/velstrandtest
-rw-r--r-- root/root ./usr/share/doc/velstrand/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/velstrand/copyright
-rw-r--r-- root/root ./usr/share/man/man8/velstrand.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/velstrandtest.8.gz
LIST
lintian --fail-on error "$deb" > "$work/lintian.log" 2>&1 || fail "lintian reports errors"
sed 's/^/lintian: /' "$work/lintian.log"

# --- the unit: systemd's own parser, and an exposure of at most 2.0 where only what the daemon
# needs stays open (each is explained in the unit) --------------------------------------------------
dpkg-deb -x "$deb" "$work/x"
unit=$work/velstrand.service
sed "s#/usr/sbin/#$work/x/usr/sbin/#" "$work/x/lib/systemd/system/velstrand.service" > "$unit"
complaints=$(systemd-analyze verify --man=no "$unit" 2>&1) || true
[[ -z $complaints ]] || fail "systemd-analyze verify: $complaints"
security=$(systemd-analyze security --offline=true "$unit" 2>&1) || true
score=$(sed -n 's/.*Overall exposure level for velstrand.service: \([0-9.]*\).*/\1/p' <<< "$security")
echo "exposure: ${score:-none}"
awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.0) }' || fail "exposure ${score:-unknown} is above 2.0"
cat > "$work/needed" << 'LIST'
RootDirectory=/RootImage=
RestrictAddressFamilies=~AF_UNIX
RestrictAddressFamilies=~AF_(INET|INET6)
ProtectProc=
ProcSubset=
PrivateNetwork=
DeviceAllow=
IPAddressDeny=
LIST
exposed=$(sed -n 's/^✗ \([^ ]*\) .*/\1/p' <<< "$security" | grep -vxFf "$work/needed") || true
[[ -z $exposed ]] || fail "exposed: $exposed"

# --- install, upgrade over an edited settings file, purge, in a throwaway root ---------------------
root=$work/root
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
rdpkg() { dpkg --root="$root" --log=/dev/null --force-depends "$@" >> "$work/dpkg.out" 2>&1 || fail "dpkg $1"; }
rdpkg -i "$deb"
echo '# edited' >> "$root/etc/quellbay/conf.cfg"
rdpkg -i "$deb"
grep -q '# edited' "$root/etc/quellbay/conf.cfg" || fail "the upgrade replaced the edited settings file"
rdpkg -r velstrand
[[ -f $root/etc/quellbay/conf.cfg && ! -e $root/usr/sbin/velstrand ]] || fail "remove: a conffile stays until purge"
rdpkg -P velstrand
left=$(cd "$root" && find . -mindepth 1 ! -path './var*' | sort)
[[ -z $left ]] || fail "purge left behind: $left"

((failures == 0)) || { cat "$work/dpkg.out" >&2; echo "$failures package check(s) failed" >&2; exit 1; }
echo "package $(basename "$deb"): all checks passed"
