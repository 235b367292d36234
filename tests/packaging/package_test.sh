#!/usr/bin/env bash
# The Debian packages that scripts/build-package left in DIST_DIR: lintian finds nothing (no error,
# no warning) in the .changes and every file it names, the programs pass hardening-check, and the
# packages hold the files, unit and maintainer scripts they should (python3-marlox: a module that
# imports; libmarlox1 and libmarlox-dev: the library, exporting marlox_* only, its header and .pc).
# Usage: package_test.sh DIST_DIR
set -euo pipefail

dist=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
for tool in lintian hardening-check objdump dpkg-deb; do
    command -v "$tool" >/dev/null || {
        echo "FAIL: $tool is missing (scripts/build-package installs it)" >&2
        exit 1
    }
done

debs=("$dist"/marlox-helper_*.deb)
changes_files=("$dist"/marlox-helper_*.changes)
if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} || ${#changes_files[@]} -ne 1 ||
    ! -f ${changes_files[0]} ]]; then
    echo "FAIL: $dist holds no single marlox-helper .deb and .changes" >&2
    exit 1
fi
deb=${debs[0]}
changes=${changes_files[0]}

echo "== lintian $(basename "$changes") and the files it names"
# Informational tags are shown, but only errors and warnings fail.
if ! lintian --info --display-info --fail-on error,warning "$changes" | tee "$work/lintian" ||
    grep -q '^[EW]: ' "$work/lintian"; then
    fail "lintian reported errors or warnings"
fi

echo "== hardening-check"
dpkg-deb -x "$deb" "$work/root"
"$(dirname "$0")/check_hardening.sh" "$work/root/usr/sbin/marlox-helper" \
    "$work/root/usr/bin/marlox-ctl" || fail "the programs are not hardened"

echo "== contents"
depends=$(dpkg-deb -f "$deb" Depends)
[[ ,$depends, =~ ,\ *openfortivpn[\ ,] ]] || fail "Depends lacks openfortivpn: $depends"
unit=lib/systemd/system/marlox-helper.service
dpkg-deb -c "$deb" >"$work/listing"
for file in usr/sbin/marlox-helper usr/bin/marlox-ctl "$unit" \
    usr/share/man/man1/marlox-ctl.1.gz usr/share/man/man8/marlox-helper.8.gz \
    usr/share/doc/marlox-helper/copyright usr/share/doc/marlox-helper/changelog.gz; do
    grep -q " ./$file\$" "$work/listing" || fail "the package lacks /$file"
done
grep -q '^-rwxr-xr-x root/root .* ./usr/sbin/marlox-helper$' "$work/listing" ||
    fail "the daemon in the package is not root-owned 0755"
grep -qx 'ExecStart=/usr/sbin/marlox-helper' "$work/root/$unit" ||
    fail "the packaged unit does not start /usr/sbin/marlox-helper"
# Apart from the daemon's path, the package carries the unit of the source tree.
template=$(dirname "$0")/../../packaging/marlox-helper.service.in
diff <(sed '/^ExecStart=/d' "$template") <(sed '/^ExecStart=/d' "$work/root/$unit") ||
    fail "the packaged unit differs from packaging/marlox-helper.service.in"

echo "== libmarlox1 and libmarlox-dev"
[[ ,$depends, =~ ,\ *libmarlox1[\ ,] ]] || fail "marlox-ctl's package does not depend on libmarlox1"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for package in libmarlox1 libmarlox-dev; do
    package_debs=("$dist"/${package}_*.deb)
    if [[ ${#package_debs[@]} -ne 1 || ! -f ${package_debs[0]} ]]; then
        fail "$dist holds no single $package .deb"
    else
        dpkg-deb -x "${package_debs[0]}" "$work/lib"
    fi
done
for file in "usr/lib/$multiarch/libmarlox.so.1" usr/include/marlox.h \
    "usr/lib/$multiarch/libmarlox.so" "usr/lib/$multiarch/pkgconfig/marlox.pc"; do
    [[ -e $work/lib/$file ]] || fail "the library packages lack /$file"
done
if [[ -e $work/lib/usr/lib/$multiarch/libmarlox.so.1 ]]; then
    "$(dirname "$0")/check_hardening.sh" "$work/lib/usr/lib/$multiarch/libmarlox.so.1" ||
        fail "libmarlox is not hardened"
    exported=$(objdump -T "$work/lib/usr/lib/$multiarch/libmarlox.so.1" | awk '$4 == ".text" {print $7}')
    [[ -z $(grep -v '^marlox_' <<<"$exported") ]] || fail "libmarlox exports more than marlox_*"
fi

echo "== maintainer scripts from dh_installsystemd"
dpkg-deb -e "$deb" "$work/control"
expect_script() {
    local script=$1 pattern=$2
    grep -q -- "$pattern" "$work/control/$script" ||
        fail "$script does not run: $pattern"
}
expect_script postinst 'deb-systemd-helper unmask .marlox-helper.service'
expect_script postinst 'deb-systemd-helper enable .marlox-helper.service'
expect_script postinst 'deb-systemd-invoke $_dh_action .marlox-helper.service'
expect_script prerm 'deb-systemd-invoke stop .marlox-helper.service'
expect_script postrm 'deb-systemd-helper purge .marlox-helper.service'

echo "== python3-marlox"
python_debs=("$dist"/python3-marlox_*_all.deb)
if [[ ${#python_debs[@]} -ne 1 || ! -f ${python_debs[0]} ]]; then
    fail "$dist holds no single python3-marlox .deb"
else
    python_deb=${python_debs[0]}
    grep -q " $(basename "$python_deb")\$" "$changes" ||
        fail "$(basename "$changes") does not name $(basename "$python_deb")"
    [[ ,$(dpkg-deb -f "$python_deb" Depends), =~ ,\ *python3[:\ ,] ]] ||
        fail "python3-marlox does not depend on python3"
    dpkg-deb -x "$python_deb" "$work/python"
    modules=$work/python/usr/lib/python3/dist-packages
    for file in __init__.py aio.py errors.py py.typed; do
        [[ -f $modules/marlox/$file ]] || fail "python3-marlox lacks marlox/$file"
    done
    # The module as installed, not the source tree's: it imports and states its protocol.
    (cd "$work" && PYTHONPATH=$modules PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c \
        'import marlox, marlox.aio; assert marlox.PROTOCOL_VERSION == 1' 2>&1) ||
        fail "the packaged marlox module does not import"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all package checks passed"
