#!/usr/bin/env bash
# Installation from the build tree: what `cmake --install` puts where (with a prefix, and staged
# through DESTDIR as the Debian package build does), a unit that systemd-analyze verify accepts
# without a word, man pages that render cleanly, and programs built with the hardening flags.
# The Debian package itself is checked by package_test.sh after scripts/build-package.
# Usage: install_test.sh BUILD_DIR HARDENING
#   HARDENING: full, nofortify (a build without optimisation) or off (flags not chosen by the
#   project, as in the package build, where package_test.sh checks them on the package)
set -euo pipefail

build_dir=$(cd "$1" && pwd)
hardening=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
need() {
    command -v "$1" >/dev/null || {
        echo "FAIL: $1 is missing (scripts/setup installs it)" >&2
        exit 1
    }
}
need systemd-analyze
need man
if [[ $hardening != off ]]; then
    need hardening-check
    need objdump
fi

unit_dir=lib/systemd/system
files=(sbin/marlox-helper bin/marlox-ctl "$unit_dir/marlox-helper.service"
    share/man/man1/marlox-ctl.1 share/man/man8/marlox-helper.8)

echo "== cmake --install into a staging prefix"
stage=$work/stage
cmake --install "$build_dir" --prefix "$stage" >/dev/null
for file in "${files[@]}"; do
    [[ -f $stage/$file ]] || fail "cmake --install did not install $file"
done
for program in sbin/marlox-helper bin/marlox-ctl; do
    [[ -x $stage/$program ]] || fail "$program is not executable"
done
"$stage/bin/marlox-ctl" --help | grep -q '^Exit status:' || fail "installed marlox-ctl --help"

unit=$stage/$unit_dir/marlox-helper.service
grep -qx "ExecStart=$stage/sbin/marlox-helper" "$unit" ||
    fail "ExecStart does not name the installed daemon"
for directive in Type=notify Restart=on-failure UMask=0022 NoNewPrivileges=yes \
    ProtectSystem=yes ProtectHome=yes PrivateTmp=yes WantedBy=multi-user.target; do
    grep -qx "$directive" "$unit" || fail "the unit lacks $directive"
done
limit=$(sed -n 's/^LimitNOFILE=//p' "$unit")
[[ $limit =~ ^[0-9]+$ ]] && ((limit >= 65536)) || fail "LimitNOFILE=$limit is too small"
# Directives that would stop pppd or openfortivpn from making the interface, routes and DNS.
for blocked in PrivateDevices=yes PrivateNetwork=yes ProtectSystem=strict ProtectSystem=full \
    ProtectClock=yes ProtectKernelTunables=yes ProcSubset=pid; do
    grep -qx "$blocked" "$unit" && fail "the unit sets $blocked"
done

echo "== systemd-analyze verify"
# The man pages in Documentation= are checked too, hence MANPATH. Unknown keys are only
# warned about, so any output at all counts as a failure.
if ! verify_output=$(MANPATH=$stage/share/man systemd-analyze verify "$unit" 2>&1); then
    fail "systemd-analyze verify failed: $verify_output"
elif [[ -n $verify_output ]]; then
    fail "systemd-analyze verify complained: $verify_output"
fi

echo "== man pages"
for page in share/man/man1/marlox-ctl.1 share/man/man8/marlox-helper.8; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$stage/$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$page: $warnings"
    MANWIDTH=80 man -l "$stage/$page" 2>/dev/null | grep -q '^EXIT STATUS\|^SECURITY' ||
        fail "$page does not render its main section"
done

echo "== staged through DESTDIR"
# The prefix lies in the work directory too, so an install that ignores DESTDIR stays in there.
destdir=$work/destdir
prefix=$work/prefix
DESTDIR=$destdir cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for file in "${files[@]}"; do
    [[ -f $destdir$prefix/$file ]] || fail "the install through DESTDIR lacks $file"
done
[[ ! -e $prefix ]] || fail "the install through DESTDIR wrote to the prefix itself"
grep -qx "ExecStart=$prefix/sbin/marlox-helper" "$destdir$prefix/$unit_dir/marlox-helper.service" ||
    fail "the staged unit does not start the daemon at its final path"

if [[ $hardening != off ]]; then
    echo "== hardening-check"
    options=()
    [[ $hardening == nofortify ]] && options+=(--nofortify)
    "$(dirname "$0")/check_hardening.sh" "${options[@]}" "$stage/sbin/marlox-helper" \
        "$stage/bin/marlox-ctl" || fail "the programs are not hardened"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all installation checks passed"
