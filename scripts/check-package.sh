#!/usr/bin/env bash
# Checks the two Debian packages as a shop and a technician get them, without installing them
# on this machine: builds them (scripts/package.sh), lets lintian judge them (no errors, no
# warnings), checks which package holds which program, validates the desktop entries, the icon,
# the manual pages and the user units (systemd-analyze verify, where systemd is there), unpacks
# both into one temporary root with dpkg-deb -x and plays a sale there with the unpacked
# programs only: boardsim, tarvelo (offscreen, on the packaged /etc/tarvelo.ini with only
# serial_port pointed at this run's simulator; its --check first) and ecrctl. The libraries
# must come from the unpacked root through the programs' relative library path, never from a
# build tree.
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

debs=$(scripts/package.sh 2> "$work/package.log") || { cat "$work/package.log" >&2; fail "no package"; }
mapfile -t debs <<<"$debs"
deb=${debs[0]} tools=${debs[1]:-}
[ -f "$deb" ] && [ -f "$tools" ] || fail "not two packages: ${debs[*]}"
echo "check-package: $deb"
echo "check-package: $tools"

# Root runs the tests here, which lintian only remarks on.
status=0
lintian --fail-on error,warning "$deb" "$tools" > "$work/lintian.out" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.out" || true
[ "$status" = 0 ] || fail "lintian refuses the packages"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/tarvelo.ini || fail "/etc/tarvelo.ini is no conffile"
# dpkg-shlibdeps names the libraries only when CPack could tell the programs (it asks `file`).
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6widgets6 libstdc++6 fonts-liberation2; do
    grep -q "\b$p\b" <<<"$depends" || fail "the package does not depend on $p: $depends"
done
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$tools" Depends)
for p in "tarvelo (= $version)" libqt6widgets6; do
    grep -qF "$p" <<<"$depends" || fail "tarvelo-tools does not depend on $p: $depends"
done
# The shop's PC gets the scale and ecrctl; the simulator and the test client only with the tools.
holds() { dpkg-deb -c "$1" | awk '{ print $6 }' | grep -qx "./usr/bin/$2"; }
for program in tarvelo ecrctl; do
    holds "$deb" "$program" && ! holds "$tools" "$program" || fail "$program is not tarvelo's alone"
done
for program in boardsim kestrin; do
    holds "$tools" "$program" && ! holds "$deb" "$program" || fail "$program is not tarvelo-tools'"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$tools" "$root"
bin=$root/usr/bin

# The package ships the build tree's own files, untouched: the same identity in both places.
for f in bin/tarvelo bin/kestrin bin/ecrctl bin/boardsim; do
    cmp -s "build-package/$f" "$root/usr/$f" || fail "the package's $f is not the build's"
done
for f in "$root"/usr/lib/*/tarvelo/*.so; do
    cmp -s "build-package/${f#"$root"/usr/}" "$f" || fail "the package's $f is not the build's"
done
# Nothing of the compiler's identification is shipped.
for f in "$bin"/* "$root"/usr/lib/*/tarvelo/*.so; do
    ! readelf -S -W "$f" | grep -q ' \.comment ' || fail "${f#"$root"} has a .comment section"
done

# Every entry and page the package promises, by name: a missing one must not pass unseen.
for entry in usr/share/applications/tarvelo.desktop usr/share/applications/kestrin.desktop \
             usr/share/tarvelo/autostart/tarvelo.desktop; do
    [ -f "$root/$entry" ] || fail "no $entry"
    desktop-file-validate "$root/$entry" || fail "$entry is not a valid desktop entry"
    program=$(basename "$entry" .desktop)
    grep -qx "Exec=$program" "$root/$entry" || fail "$entry does not start $program"
done
grep -qx "TryExec=tarvelo" "$root/usr/share/tarvelo/autostart/tarvelo.desktop" \
    || fail "the autostart entry has no TryExec"
icon=$root/usr/share/icons/hicolor/scalable/apps/tarvelo.svg
grep -q '<svg ' "$icon" || fail "no icon at ${icon#"$root"}"
for entry in tarvelo kestrin; do
    grep -qx "Icon=tarvelo" "$root/usr/share/applications/$entry.desktop" \
        || fail "the menu entry $entry.desktop shows no icon"
done
# Each manual page carries the date of the changelog's newest entry.
released=$(date -u -d "$(gzip -dc "$root/usr/share/doc/tarvelo/changelog.gz" \
    | sed -n 's/^ -- .*  \(.*\)$/\1/p' | head -1)" +%F)
for program in tarvelo kestrin ecrctl boardsim; do
    page=$root/usr/share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "no manual page for $program"
    gzip -dc "$page" | head -1 | grep -qF " \"$released\" " \
        || fail "the manual page of $program is not dated $released"
done
[ -f "$root/usr/share/doc/tarvelo-tools/copyright" ] || fail "tarvelo-tools has no copyright"
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
# Every picture the README shows is where its link points from the packaged README.
for picture in $(grep -o '!\[[^]]*\]([^)]*)' README.md | sed 's/.*](\(.*\))$/\1/'); do
    cmp -s "$doc/$picture" "$picture" || fail "the README shows $picture, not in ${doc#"$root"}/"
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

# The user units, as systemd reads them: without a word from systemd-analyze verify, the scale's
# unit pointed at the unpacked program (verify looks for it) and the manual pages at the unpacked
# ones. A machine without systemd (a container) cannot judge them, and says so.
units=$root/usr/lib/systemd/user
for unit in tarvelo.service tarvelo-logs.service tarvelo-logs.timer; do
    [ -f "$units/$unit" ] || fail "no user unit $unit"
done
grep -qx "PartOf=graphical-session.target" "$units/tarvelo.service" \
    || fail "tarvelo.service does not end with the graphical session"
if command -v systemd-analyze > /dev/null; then
    mkdir "$work/units" "$work/runtime"
    for f in "$units"/*; do
        sed "s|=/usr/bin/tarvelo\$|=$bin/tarvelo|" "$f" > "$work/units/$(basename "$f")"
    done
    verified=$(cd "$work/units" && XDG_RUNTIME_DIR=$work/runtime MANPATH=$root/usr/share/man \
        systemd-analyze verify --user tarvelo.service tarvelo-logs.service tarvelo-logs.timer 2>&1) \
        && [ -z "$verified" ] || fail "systemd-analyze verify: $verified"
    echo "check-package: the user units pass systemd-analyze verify"
else
    echo "check-package: no systemd-analyze on this machine: the user units are not verified"
fi
# The retention rule removes the scale's old log files in the home directory and nothing else
# (not one in a folder, a name that only contains the pattern, a link, a new file): the unit's
# command run by hand on a home of its own, and the README's crontab line for sessions without
# systemd on another, which must leave the same files.
home=$work/home
old=$(date -d '400 days ago' +%Y%m%d%H%M%S)
new=log_$(date +%Y%m%d%H%M%S).txt
keep=("./keep/log_$old.txt" "./$new" ./log_old.txt "./log_$old.txt.bak" ./notes.txt
    "./old log_$old.txt" "./log_$old copy.txt" $'./x\nlog_'"$old.txt")
old_home() {
    rm -rf "$home" && mkdir -p "$home/keep" "$home/log_1${old:1}.txt"
    touch -d '400 days ago' "$home/log_$old.txt" "${keep[@]/#./$home}"
    touch "$home/$new"
    ln -s "$home/notes.txt" "$home/log_3${old:1}.txt"
}
left_in_home() {
    local left expected
    left=$(cd "$home" && find . -type f | sort | tr '\n' ' ')
    expected=$(printf '%s\n' "${keep[@]}" | sort | tr '\n' ' ')
    [ "$left" = "$expected" ] || fail "$1 left '$left', not '$expected'"
    [ -L "$home/log_3${old:1}.txt" ] && [ -d "$home/log_1${old:1}.txt" ] || fail "$1 removed a link or a folder"
}
old_home
command=$(sed -n 's/^ExecStart=//p' "$units/tarvelo-logs.service")
days=$(sed -n 's/^Environment=KEEP_DAYS=//p' "$units/tarvelo-logs.service")
[ -n "$days" ] || fail "tarvelo-logs.service sets no KEEP_DAYS"
command=${command//%h/$home}
eval "${command//\$\{KEEP_DAYS\}/$days}"
left_in_home "the retention rule"
old_home
cron=$(sed -n 's/^@daily //p' README.md)
[ -n "$cron" ] || fail "the README has no crontab line for log retention"
HOME=$home bash -c "$cron"
left_in_home "the README's crontab line"

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
"$bin/tarvelo" --check --config "$work/tarvelo.ini" || fail "tarvelo --check finds a fault"
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
