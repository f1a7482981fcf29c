#!/usr/bin/env bash
# Where scripts/run.sh puts the customer window (640 x 200): at the top left corner of the
# first monitor that is not the primary one, where a shop stands the customer's screen; with
# one monitor, at its bottom edge, below the display bar along the top, so that all of it
# shows. Prints "X Y". Without a desktop to ask (no DISPLAY, no xrandr) it assumes one
# 800 x 600 monitor, the size of an offscreen run.
set -euo pipefail

height=200
monitors=$(xrandr --listmonitors 2>/dev/null || true)
# " 1: +M1 640/169x480/127+800+0  none": "*" marks the primary monitor (none is marked when
# there is only one).
awk -v height="$height" '
    $1 ~ /^[0-9]+:$/ && split($3, g, /[\/x+]/) == 6 {
        n++; x[n] = g[5]; y[n] = g[6]; h[n] = g[3]
        if ($2 ~ /\*/) primary = n
    }
    END {
        if (!primary) primary = 1
        for (i = 1; i <= n; i++) if (i != primary) { print x[i], y[i]; exit }
        if (n) print x[primary], y[primary] + (h[primary] > height ? h[primary] - height : 0)
        else print 0, 600 - height
    }' <<<"$monitors"
