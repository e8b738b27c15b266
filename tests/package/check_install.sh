#!/bin/bash
# Checks the install rules: `cmake --install` into a DESTDIR puts every file where the package and
# the unit expect it, honours the prefix, never overwrites an operator's settings file, and writes
# nothing outside DESTDIR. The manual page it installs renders without warnings.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(realpath "$1")
source_dir=$(realpath "$2")
work=$(mktemp -d /tmp/velstrand-install-check.XXXXXX)
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
host_settings_state() { stat -c '%n %s %Y' /etc/quellbay/conf.cfg 2>/dev/null || echo absent; }
host_before=$(host_settings_state)

# Every path the install recorded exists below DESTDIR: a file that went to the machine's own
# /etc or /lib instead would be missing there.
check_manifest_under() {
    local root=$1 count=0
    while IFS= read -r path; do
        count=$((count + 1))
        [[ -e $root$path || -L $root$path ]] || fail "installed outside DESTDIR: $path"
    done < "$build/install_manifest.txt"
    ((count > 0)) || fail "the install recorded no file"
}

install_into() {
    local root=$1 prefix=$2
    DESTDIR="$root" cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; fail "cmake --install into $root with prefix $prefix"; }
    check_manifest_under "$root"
}

# --- Debian's layout, prefix /usr --------------------------------------------------------------
d="$work/usr-root"
install_into "$d" /usr
unit_dir=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || true)
unit_dir=${unit_dir:-/lib/systemd/system}
for f in usr/sbin/velstrand usr/sbin/velstrandtest; do
    [[ -x $d/$f && -f $d/$f ]] || fail "$f not installed as an executable"
done
for f in usr/share/man/man8/velstrand.8.gz usr/share/man/man8/velstrandtest.8.gz \
         usr/share/doc/velstrand/copyright usr/share/doc/velstrand/changelog.Debian.gz \
         "${unit_dir#/}/velstrand.service" etc/quellbay/conf.cfg; do
    [[ -f $d/$f ]] || fail "$f not installed"
done
cmp -s "$source_dir/conf/velstrand.cfg" "$d/etc/quellbay/conf.cfg" ||
    fail "the installed settings file is not the sample"
grep -qx 'ExecStart=/usr/sbin/velstrand' "$d/${unit_dir#/}/velstrand.service" ||
    fail "the unit does not start /usr/sbin/velstrand"
[[ $(zcat "$d/usr/share/man/man8/velstrandtest.8.gz") == ".so man8/velstrand.8" ]] ||
    fail "velstrandtest(8) does not point at velstrand(8)"

# The page renders as man shows it, without a single warning.
if command -v man > /dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$d/usr/share/man/man8/velstrand.8.gz" 2>&1 > /dev/null)
    [[ -z $warnings ]] || fail "man --warnings complains: $warnings"
    MANWIDTH=80 man -l "$d/usr/share/man/man8/velstrand.8.gz" 2> /dev/null |
        grep -q 'lock:velstrand' || fail "the rendered page lacks its Redis keys"
else
    echo "note: man is not installed; the rendering check is skipped"
fi

# --- the operator's settings survive another install ---------------------------------------------
echo '# edited by the operator' >> "$d/etc/quellbay/conf.cfg"
edited=$(cat "$d/etc/quellbay/conf.cfg")
install_into "$d" /usr
[[ $(cat "$d/etc/quellbay/conf.cfg") == "$edited" ]] || fail "a second install overwrote the settings file"
grep -q 'Keeping existing' "$work/install.log" || fail "the second install did not say it kept the file"

# --- another prefix: the unit follows the programs -----------------------------------------------
o="$work/opt-root"
install_into "$o" /opt/velstrand
[[ -x $o/opt/velstrand/sbin/velstrand ]] || fail "prefix /opt/velstrand: no sbin/velstrand"
grep -qx 'ExecStart=/opt/velstrand/sbin/velstrand' "$o/${unit_dir#/}/velstrand.service" ||
    fail "prefix /opt/velstrand: the unit does not start /opt/velstrand/sbin/velstrand"
[[ -f $o/etc/quellbay/conf.cfg ]] || fail "prefix /opt/velstrand: the settings file is not at /etc/quellbay"

[[ $(host_settings_state) == "$host_before" ]] || fail "the machine's own /etc/quellbay/conf.cfg changed"

if ((failures > 0)); then
    echo "$failures install check(s) failed" >&2
    exit 1
fi
echo "install rules: all checks passed"
