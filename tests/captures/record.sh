#!/usr/bin/env bash
# Takes the captures of this folder again, from real runs of our own programs: boardsim plays
# the board (its control lines are the goods on the platform), tarvelo runs offscreen with
# --capture, ecrctl plays the ECR. Run it after a change of behaviour that a capture no longer
# replays, once the change is known to be right, and look at the difference before committing.
#   tests/captures/record.sh [NAME...]      (all of them without a NAME; BIN=build/bin)
# The steps leave the scale time to settle between a change on the platform and a request, so
# that the replays in CTest may run them faster and still meet the scale in the same state.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${BIN:-$here/../../build/bin}
for program in boardsim tarvelo ecrctl; do
    [[ -x $bin/$program ]] || { echo "record.sh: no $bin/$program (build first)" >&2; exit 2; }
done

run=
pids=()
stop_all() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
    exec 7>&- 2>/dev/null || true
    [[ -n $run ]] && rm -rf "$run"
    run=
}
trap stop_all EXIT

board() { echo "$*" >&7; }
ecr() { XDG_RUNTIME_DIR=$run "$bin/ecrctl" --pipe ecr "$@" >>"$run/ecrctl.out" || true; }
pause() { sleep "$1"; }
# After a change on the platform or a board command: the letter-command board holds its line
# for 1.1 s per command, the xon/xoff board answers at once.
settle=0.8
settle() { pause "$settle"; }

# record NAME BOARD "[scale] lines" STEPS "what it shows" ...
record() {
    local name=$1 type=$2 scale=$3 steps=$4
    shift 4
    run=$(mktemp -d /tmp/tarvelo-record-XXXXXX)
    chmod 700 "$run"
    cat >"$run/tarvelo.ini" <<INI
[scale]
serial_port=$run/board
pipe_name=ecr
ad_type=$([[ $type == xon ]] && echo 0 || echo 1)
log_fg=1000
$scale
INI
    mkfifo "$run/board.in"
    "$bin/boardsim" --link "$run/board" --type "$type" --rate 10 <"$run/board.in" \
        >"$run/boardsim.out" 2>&1 &
    pids+=($!)
    exec 7>"$run/board.in"
    for _ in $(seq 100); do grep -q '^ready:' "$run/boardsim.out" && break; sleep 0.05; done
    (cd "$run" && XDG_RUNTIME_DIR=$run QT_QPA_PLATFORM=offscreen TARVELO_TIME_DIVISOR=20 \
        exec "$bin/tarvelo" --config tarvelo.ini --capture capture.txt >tarvelo.out 2>tarvelo.err) &
    local scale=$!
    pids+=($scale)
    for _ in $(seq 200); do grep -q 'scale ready' "$run/tarvelo.out" && break; sleep 0.05; done
    grep -q 'scale ready' "$run/tarvelo.out" || { echo "record.sh: $name: no scale" >&2; exit 1; }
    pause 0.5
    "$steps"
    pause 0.5
    kill -TERM "$scale"
    wait "$scale" || true
    {
        head -n 1 "$run/capture.txt"
        for line in "$@"; do echo "# $line"; done
        echo "# Taken by tests/captures/record.sh; replayed by ctest -L replay."
        tail -n +2 "$run/capture.txt"
    } >"$here/$name.txt"
    echo "record.sh: $name.txt ($(wc -l <"$here/$name.txt") lines)"
    stop_all
}

weight_sale() {
    ecr price 2.99
    board weight 1500
    board unstable
    settle
    board stable
    settle
    ecr enq
    ecr enq
    ecr status
    board weight 0
    settle
    ecr price 1.50 tare 200
    settle
    board weight 1434
    settle
    ecr enq
    ecr get-tare
    board weight 0
    settle
    ecr zero
    settle
}

quantity_sale() {
    ecr quantity-mode
    ecr qprice 2.50 qty 3
    ecr enq
    ecr qprice 0.99 qty 12 text "EGGS"
    ecr enq
    ecr show
    ecr weight-mode
    ecr price 3.10
    board weight 250
    pause 0.8
    ecr enq
}

lost_link() {
    ecr price 4.00
    board weight 750
    pause 0.8
    ecr enq
    board weight 0
    pause 0.8
    board silent
    pause 3
    ecr enq
    ecr status
    board resume
    board weight 900
    pause 1
    ecr enq
}

handshake() {
    {
        echo "read 1A2B"
        echo "quantity-mode"
        echo "qprice 1.25 qty 2"
        for _ in $(seq 50); do echo "enq"; done
        echo "read 1A2B"
        echo "handshake 0000"
        echo "enq"
        echo "handshake 1A2B"
        echo "enq"
    } | XDG_RUNTIME_DIR=$run "$bin/ecrctl" --pipe ecr - >>"$run/ecrctl.out" || true
}

damaged_frames() {
    ecr price 2.00
    board weight 1200
    pause 0.8
    for _ in 1 2 3; do
        board corrupt
        board noise
        board overlong
        pause 0.3
    done
    board garble on
    pause 0.8
    board garble off
    pause 0.8
    ecr enq
    board weight 0
    pause 0.8
    board garble on
    pause 3
    ecr enq
    ecr status
    board garble off
    board weight 600
    pause 1
    ecr enq
}

all=(xon-weight-sale letter-weight-sale quantity-sale lost-link handshake-reverify
     damaged-frames)
for name in "${@:-${all[@]}}"; do
    case $name in
        xon-weight-sale)
            record "$name" xon "" weight_sale \
                "A weight-mode sale on the xon/xoff board: a unit price, goods that settle," \
                "the scale data (and the refusal of a second read of the same weight), a" \
                "preset tare sent to the board, the tare read back and a zero." ;;
        letter-weight-sale)
            settle=1.8
            record "$name" letter "" weight_sale \
                "The same weight-mode sale on the letter-command board, whose commands" \
                "pause the stream with DC3 and resume it with DC1 a second later." \
                "Replays at its own speed: the board's commands take their real time." ;;
        quantity-sale)
            record "$name" xon "" quantity_sale \
                "A quantity sale: quantity mode, unit prices per piece with a quantity and a" \
                "text, the scale data in record 32, then back to weight mode and one weighing." ;;
        lost-link)
            record "$name" xon "" lost_link \
                "A lost and recovered board link: the board falls silent for 3 s, an ENQ is" \
                "refused (status 0 1) while it is, and once it streams again the next weight" \
                "is served. Replays at its own speed: the scale's 2 s time-out is part of it." ;;
        handshake-reverify)
            record "$name" xon "verify=1" handshake \
                "The CS/KW handshake with re-verification: verify=1, a Read with the" \
                "handshake, 51 quantity-mode reads, after which the scale asks again; a" \
                "wrong CS is refused, the right one passes. The challenge's random number" \
                "differs in every replay: ecrctl --replay works the pairs out again." ;;
        damaged-frames)
            record "$name" xon "" damaged_frames \
                "A burst of damaged frames on the xon/xoff board: corrupt, stray and" \
                "over-long frames and a second of garbled ones leave the last good weight" \
                "standing; three seconds of garbled frames lose the link (status 0 1) until" \
                "good frames return." ;;
        *) echo "record.sh: no capture named $name" >&2; exit 2 ;;
    esac
done
