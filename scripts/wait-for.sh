# shellcheck shell=bash
# Sourced by the scripts that start programs and wait for what they print (run.sh,
# check-package.sh); not run on its own.
#
# wait_for FILE TEXT SECONDS [PID]: returns 0 once TEXT appears in FILE, looking ten times a
# second. Gives up after SECONDS, or as soon as process PID (when given) has ended, saying on
# standard error what it waited for, in the name of the script that sourced it, and returns 1.
wait_for() {
    local i who=${0##*/}
    who=${who%.sh}
    for ((i = 0; i < $3 * 10; i++)); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        if [ -n "${4:-}" ] && ! kill -0 "$4" 2>/dev/null; then
            echo "$who: the program ended before '$2' (see $1)" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "$who: gave up waiting for '$2' in $1" >&2
    return 1
}
