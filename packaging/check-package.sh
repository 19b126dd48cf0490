#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, then checks what a user of the
# package gets: the file list, the Depends field, a unit that names the packaged binary, and a
# binary that runs once unpacked.
#
# Usage: check-package.sh CPACK BUILD_DIR SOURCE_DIR VERSION
# Exit status 77 (a skip for CTest) where dpkg-deb is missing.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 CPACK BUILD_DIR SOURCE_DIR VERSION" >&2
    exit 2
fi
cpack="$1"
build="$2"
source="$3"
version="$4"

if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "SKIP: dpkg-deb not found (Debian package dpkg); the Debian package is not checked"
    exit 77
fi

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

scratch="$(mktemp -d "${TMPDIR:-/tmp}/vorn-package.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

# -B keeps CPack's staging tree and the .deb out of the build folder.
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    fail "cpack -G DEB failed"
fi
shopt -s nullglob
debs=("$scratch"/out/*.deb)
shopt -u nullglob
[ ${#debs[@]} -eq 1 ] || fail "expected one .deb, found ${#debs[@]}"
deb="${debs[0]}"
arch="$(dpkg-deb -f "$deb" Architecture)"
[ "$(basename "$deb")" = "vorn-font-agent_${version}_${arch}.deb" ] ||
    fail "unexpected package file name $(basename "$deb")"

# --- control fields ---
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vorn-font-agent ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', project says $version"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends="$(field Depends)"
for lib in libc6 libevent- libfontconfig1 libfreetype6 libstdc++6; do
    case ", $depends" in
        *", $lib"*) ;;
        *) fail "Depends lacks $lib: '$depends'" ;;
    esac
done

# --- file list ---
dpkg-deb -c "$deb" >"$scratch/list"
# The path column of `dpkg-deb -c`, one path a line.
sed -E 's/^([^ ]+ +){5}//' "$scratch/list" >"$scratch/paths"
has() { grep -qxF "$1" "$scratch/paths" || fail "package lacks $1"; }
has ./usr/bin/vorn-font-agent
has ./usr/share/man/man1/vorn-font-agent.1.gz
has ./usr/lib/systemd/user/vorn-font-agent.service
has ./usr/lib/systemd/user/vorn-font-agent.socket
stray="$(grep -v -e '^\./usr/' -e '^\./$' "$scratch/paths"; grep '^\./usr/local/' "$scratch/paths")" || true
[ -z "$stray" ] || fail "packaged outside /usr, or under /usr/local: $stray"
grep -qE '^-rwxr-xr-x root/root .* \./usr/bin/vorn-font-agent$' "$scratch/list" ||
    fail "/usr/bin/vorn-font-agent is not an executable owned by root"

# --- unpacked, as dpkg -i would lay it out ---
root="$scratch/root"
dpkg-deb -x "$deb" "$root"

# Every file of the preview page is packaged byte for byte (none is packaged when there is none).
if [ -d "$source/web" ]; then
    while IFS= read -r -d '' page; do
        rel="${page#"$source/web/"}"
        has "./usr/share/vorn-font-agent/$rel"
        cmp -s "$page" "$root/usr/share/vorn-font-agent/$rel" || fail "packaged web/$rel differs from the source"
    done < <(find "$source/web" -type f ! -name '.*' ! -path '*/.*' -print0)
fi

gzip -t "$root/usr/share/man/man1/vorn-font-agent.1.gz" || fail "manual page is not valid gzip"
gzip -dc "$root/usr/share/man/man1/vorn-font-agent.1.gz" | grep -q '^\.TH VORN-FONT-AGENT 1 ' ||
    fail "manual page has no .TH VORN-FONT-AGENT 1 header"

unit="$root/usr/lib/systemd/user/vorn-font-agent.service"
grep -q '@[A-Za-z_]*@' "$unit" && fail "unconfigured @VARIABLE@ left in the unit"
exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
[ "$(grep -c '^ExecStart=' "$unit")" -eq 1 ] || fail "the unit needs exactly one ExecStart"
read -r -a exec_words <<<"$exec_start"
[ "${exec_words[0]}" = /usr/bin/vorn-font-agent ] ||
    fail "ExecStart runs '${exec_words[0]}', the package installs /usr/bin/vorn-font-agent"
case " $exec_start " in
    *" -l 127.0.0.1 "*) ;;
    *) fail "ExecStart does not listen on loopback only: $exec_start" ;;
esac
case " $exec_start " in
    *" -d "*) fail "ExecStart sends the agent to the background, systemd would lose it: $exec_start" ;;
esac
grep -qx 'WantedBy=default.target' "$unit" || fail "unit is not WantedBy=default.target"
grep -qx 'Restart=on-failure' "$unit" || fail "unit lacks Restart=on-failure"
# The socket unit listens where the service would, and only there.
socket_unit="$root/usr/lib/systemd/user/vorn-font-agent.socket"
[ "$(grep '^Listen' "$socket_unit")" = 'ListenStream=127.0.0.1:16801' ] ||
    fail "socket unit does not listen on 127.0.0.1:16801 alone: $(grep '^Listen' "$socket_unit")"

# The packaged binary runs against the system's libraries; the C locale is always there, so the
# environment's locale cannot decide the outcome.
status=0
LC_ALL=C "$root/usr/bin/vorn-font-agent" -h >"$scratch/help.out" 2>"$scratch/help.err" || status=$?
[ "$status" -eq 0 ] || fail "installed vorn-font-agent -h exited with $status: $(cat "$scratch/help.err")"
grep -q -- '^-l ' "$scratch/help.err" && grep -q -- '^-p ' "$scratch/help.err" ||
    fail "installed vorn-font-agent -h printed no help on standard error"

echo "PASS: $(basename "$deb"): $(wc -l <"$scratch/paths") entries, Depends: $depends"
