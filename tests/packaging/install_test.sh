#!/usr/bin/env bash
# Installation and the Debian package: what `cmake --install` and `cpack -G DEB` put where, a unit
# that systemd-analyze verify accepts without a word, and man pages that render cleanly.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail

build_dir=$(cd "$1" && pwd)
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
need dpkg-deb
need man

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
for directive in Type=simple Restart=on-failure UMask=0022 NoNewPrivileges=yes \
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

echo "== cpack -G DEB"
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1 ||
    {
        cat "$work/cpack.log" >&2
        fail "cpack failed"
    }
debs=("$work"/deb/*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
    fail "cpack made no single .deb"
else
    deb=${debs[0]}
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ ,$depends, =~ ,\ *openfortivpn[\ ,] ]] || fail "Depends lacks openfortivpn: $depends"
    dpkg-deb -c "$deb" >"$work/listing"
    for file in "${files[@]}"; do
        grep -q " ./usr/$file\$" "$work/listing" || fail "the package lacks /usr/$file"
    done
    grep -q '^-rwxr-xr-x root/root .* ./usr/sbin/marlox-helper$' "$work/listing" ||
        fail "the daemon in the package is not root-owned 0755"
    dpkg-deb -x "$deb" "$work/root"
    packaged_unit=$work/root/usr/$unit_dir/marlox-helper.service
    grep -qx 'ExecStart=/usr/sbin/marlox-helper' "$packaged_unit" ||
        fail "the packaged unit does not start /usr/sbin/marlox-helper"
    # Apart from the daemon's path, the package carries the very unit verified above.
    diff <(sed '/^ExecStart=/d' "$unit") <(sed '/^ExecStart=/d' "$packaged_unit") >/dev/null ||
        fail "the packaged unit differs from the installed one"
    dpkg-deb -e "$deb" "$work/control"
    for script in postinst prerm postrm; do
        [[ -x $work/control/$script ]] || fail "the package has no executable $script"
        sh -n "$work/control/$script" || fail "$script is not valid sh"
    done
    grep -q 'deb-systemd-helper enable' "$work/control/postinst" ||
        fail "postinst does not enable the unit"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all installation checks passed"
