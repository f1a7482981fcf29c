#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, starts the board simulator and
# the scale against it. With a desktop the bar, the customer window and kestrin appear and
# this terminal is the operator's hand on the platform (type `weight 1234`, `help`, `quit`).
# Without one the scale runs offscreen, a short scripted sale is played with ecrctl, and
# screenshots of both windows are saved. Ctrl-C stops everything this script started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh
scripts/build.sh >/dev/null
bin=$root/build/bin

run=$(mktemp -d /tmp/tarvelo-run-XXXXXX)
chmod 700 "$run"
export XDG_RUNTIME_DIR=$run   # the pipe kv2170 (kestrin's built-in name) lives here
# The customer window on the customer's monitor, or wholly on the only one.
read -r customer_x customer_y < <(scripts/place-customer-window.sh)
cat > "$run/tarvelo.ini" <<INI
[windowMain1]
x=0
y=0
w=800
h=60
approval_fg=10
scale_span_fg=10
tare_fg=13
weight_fg=20
uprice_fg=14
tprice_fg=17
zero_btn_fg=8
tare_btn_fg=8
font_size=200
font_color=0,0,160
bg_image=
[windowMain2]
x=$customer_x
y=$customer_y
w=640
h=200
name_fg=30
approval_fg=12
scale_span_fg=12
tare_fg=18
weight_fg=20
uprice_fg=18
tprice_fg=20
font_color=160,0,0
bg_image=
[scale]
serial_port=$run/board
pipe_name=kv2170
ad_type=0
log_fg=100
[spec]
auto_clear_fg=1
INI

pids=()
cleanup() {
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    echo "run directory (settings, logs, screenshots): $run"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

source scripts/wait-for.sh

wait_for_path() {  # path seconds
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        [ -e "$1" ] && return 0
        sleep 0.1
    done
    echo "run: gave up waiting for $1" >&2
    return 1
}

echo "run: directory $run"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
    # The board first, so that the scale finds it; it keeps this terminal as its input.
    "$bin/boardsim" --link "$run/board" <&0 & pids+=($!)
    board_pid=$!
    wait_for_path "$run/board" 10
    (cd "$run" && exec "$bin/tarvelo") > "$run/tarvelo.out" & pids+=($!)
    tarvelo_pid=$!
    echo "run: the board is yours; try: weight 1234, unstable, stable, weight 0, help, quit"
    # kestrin opens the pipe once, when it starts: only once the scale serves the ECR.
    echo "run: the scale boots (colour test, start-up sequence); kestrin follows when it is ready"
    wait_for "$run/tarvelo.out" "tarvelo: scale ready" 60 "$tarvelo_pid"
    (cd "$run" && exec "$bin/kestrin") & pids+=($!)
    echo "run: the scale is ready and kestrin is open"
    wait "$board_pid" || true
    exit 0
fi

# No desktop: offscreen, with a scripted sale.
mkfifo "$run/board.in"
"$bin/boardsim" --link "$run/board" < "$run/board.in" > "$run/boardsim.out" 2>&1 & pids+=($!)
exec 3> "$run/board.in"
wait_for "$run/boardsim.out" "ready:" 5
(cd "$run" && QT_QPA_PLATFORM=offscreen TARVELO_SCREENSHOT_DIR="$run" exec "$bin/tarvelo") \
    > "$run/tarvelo.out" 2> "$run/tarvelo.err" & pids+=($!)
tarvelo_pid=$!
echo "run: the scale boots (colour test, start-up sequence) ..."
wait_for "$run/tarvelo.out" "tarvelo: scale ready" 30 "$tarvelo_pid"

ecr() { echo; echo "ecr: $*"; "$bin/ecrctl" --timeout 5000 "$@" || true; }
# Repeats a request until the scale accepts it (6 s at most), as an ECR polls: prints the
# accepted exchange, or the last refusal. $1 says what the scale waits for.
ecr_until() {
    local why=$1 out=""
    shift
    echo; echo "ecr: $* (repeated until $why)"
    for _ in $(seq 1 30); do
        if out=$("$bin/ecrctl" --timeout 5000 "$@" 2>&1); then break; fi
        sleep 0.2
    done
    echo "$out"
}
ecr price 150 text APPLES
echo; echo "board: goods of 1234 g on the platform"
echo "weight 1234" >&3
ecr_until "the scale has the goods and is stable" enq
ecr enq      # once per weighing: refused until the weight changes
ecr status
kill -USR1 "$tarvelo_pid"
wait_for "$run/tarvelo.out" "customer_window.png" 5
echo; echo "board: goods taken off"
echo "weight 0" >&3
ecr_until "the scale has seen the platform empty" price 160
echo
grep '^screenshot:' "$run/tarvelo.out" || true
echo "run: the sale is done; the scale keeps running until Ctrl-C (or 10 s)"
sleep 10 &
wait $! || true
