#!/usr/bin/env bash
# Checks the Debian package as a shop gets it, without installing it on this machine: builds it
# (scripts/package.sh), lets lintian judge it (no errors), validates its desktop entries,
# unpacks it into a temporary root with dpkg-deb -x and plays a sale there with the unpacked
# programs only: boardsim, tarvelo (offscreen, on the packaged /etc/tarvelo.ini with only
# serial_port pointed at this run's simulator) and ecrctl. The libraries must come from the
# unpacked root through the programs' relative library path, never from a build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wait-for.sh

fail() {
    local f
    for f in "${work:-}"/tarvelo.out "${work:-}"/tarvelo.err "${work:-}"/boardsim.out; do
        [ -s "$f" ] && { echo "--- $f"; cat "$f"; } >&2
    done
    echo "check-package: $*" >&2
    exit 1
}

work=$(mktemp -d /tmp/tarvelo-package-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

deb=$(scripts/package.sh 2> "$work/package.log") || { cat "$work/package.log" >&2; fail "no package"; }
echo "check-package: $deb"

# Root runs the tests here, which lintian only remarks on.
status=0
lintian --fail-on error,warning "$deb" > "$work/lintian.out" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.out" || true
[ "$status" = 0 ] || fail "lintian refuses the package"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/tarvelo.ini || fail "/etc/tarvelo.ini is no conffile"
# dpkg-shlibdeps names the libraries only when CPack could tell the programs (it asks `file`).
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6widgets6 libstdc++6 fonts-liberation2; do
    grep -q "\b$p\b" <<<"$depends" || fail "the package does not depend on $p: $depends"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin

# The package ships the build tree's own files, untouched: the same identity in both places.
for f in bin/tarvelo bin/kestrin bin/ecrctl bin/boardsim; do
    cmp -s "build-package/$f" "$root/usr/$f" || fail "the package's $f is not the build's"
done
for f in "$root"/usr/lib/*/tarvelo/*.so; do
    cmp -s "build-package/${f#"$root"/usr/}" "$f" || fail "the package's $f is not the build's"
done

# Every entry and page the package promises, by name: a missing one must not pass unseen.
for entry in usr/share/applications/tarvelo.desktop usr/share/applications/kestrin.desktop \
             usr/share/tarvelo/autostart/tarvelo.desktop; do
    [ -f "$root/$entry" ] || fail "no $entry"
    desktop-file-validate "$root/$entry" || fail "$entry is not a valid desktop entry"
    program=$(basename "$entry" .desktop)
    grep -qx "Exec=$program" "$root/$entry" || fail "$entry does not start $program"
done
for program in tarvelo kestrin ecrctl boardsim; do
    [ -f "$root/usr/share/man/man1/$program.1.gz" ] || fail "no manual page for $program"
done
# The integrator's documents: the README and the protocol reference compressed, as the sources
# stand; the example clients plain, to be built and run as they are.
doc=$root/usr/share/doc/tarvelo
for f in README.md docs/ecr-protocol.md docs/capture-format.md; do
    packed=$doc/$(basename "$f").gz
    [ -f "$packed" ] || fail "no ${packed#"$root"}"
    gzip -dc "$packed" | cmp -s - "$f" || fail "${packed#"$root"} is not $f"
done
for f in docs/examples/ecr_client.c docs/examples/ecr_client.py; do
    cmp -s "$doc/examples/$(basename "$f")" "$f" || fail "no $f in $doc/examples/"
done
ecrctl_page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/ecrctl.1.gz" 2>/dev/null)
for f in /usr/share/doc/tarvelo/ecr-protocol.md.gz /usr/share/doc/tarvelo/examples/ \
         /usr/share/doc/tarvelo/capture-format.md.gz; do
    [ -e "$root$f" ] && grep -qF "$f" <<<"$ecrctl_page" \
        || fail "the manual page of ecrctl does not point to $f"
done
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# The libraries come from the unpacked root, and the checksum tarvelo shows is that of the
# unpacked scale library file.
unset LD_LIBRARY_PATH LD_PRELOAD
lib=$(ldd "$bin/tarvelo" | awk '$1 == "libdravix.so" { print $3 }')
[ "$lib" -ef "$(ls "$root"/usr/lib/*/tarvelo/libdravix.so)" ] \
    || fail "tarvelo loads libdravix.so from '$lib', not from the package"
identity=$("$bin/tarvelo" --version)
echo "$identity"
crc=$(gzip -c "$lib" | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' \n' | tr a-f A-F)
grep -qx "CHECKSUM *$crc" <<<"$identity" || fail "--version does not show the checksum $crc"
grep -qx "Scale library *$(realpath "$lib")" <<<"$identity" \
    || fail "--version names another library file"
for program in kestrin ecrctl boardsim; do
    "$bin/$program" --version | grep -q "^$program " || fail "$program --version"
done

# The packaged settings, with only the board pointed at this run's simulator; the pipe keeps
# its packaged name and lives in this run's own runtime directory.
sed "s|^serial_port=.*|serial_port=$work/board|" "$root/etc/tarvelo.ini" > "$work/tarvelo.ini"
[ "$(diff "$root/etc/tarvelo.ini" "$work/tarvelo.ini" | grep -c '^>')" = 1 ] \
    || fail "the packaged settings have no single serial_port line"
export XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=offscreen TARVELO_TIME_DIVISOR=20

mkfifo "$work/board.in"
"$bin/boardsim" --link "$work/board" < "$work/board.in" > "$work/boardsim.out" 2>&1 & pids+=($!)
exec 3> "$work/board.in"
wait_for "$work/boardsim.out" "ready:" 10 || fail "the board simulator is not ready"
(cd "$work" && exec "$bin/tarvelo" --config "$work/tarvelo.ini") \
    > "$work/tarvelo.out" 2> "$work/tarvelo.err" & pids+=($!)
tarvelo_pid=$!
wait_for "$work/tarvelo.out" "tarvelo: scale ready" 60 "$tarvelo_pid" || fail "the scale is not ready"

ecrctl() { "$bin/ecrctl" --timeout 5000 "$@"; }
ecrctl price 150 text APPLES > "$work/sale.out" || fail "the unit price was refused"
echo "weight 1234" >&3
sold=
for _ in $(seq 1 50); do
    if ecrctl enq >> "$work/sale.out" 2>&1; then sold=1; break; fi
    sleep 0.2
done
cat "$work/sale.out"
[ -n "$sold" ] || fail "the scale never sold the goods"
grep -q "weight=1234 g, unit_price=150, total_price=185" "$work/sale.out" \
    || fail "the sale has the wrong weight or price"
kill -TERM "$tarvelo_pid"
code=0
wait "$tarvelo_pid" || code=$?
[ "$code" = 0 ] || fail "tarvelo ended with $code"
echo quit >&3
echo "check-package: a sale with the unpacked programs worked"
