# Wine environment for this project's tools and tests.  Source it:
#
#     . tools/wine-env.sh [PREFIX_DIR]
#
# It exports the settings every Wine run here uses and defines small helpers
# (all named serial_wine_*).  With PREFIX_DIR it also exports WINEPREFIX; it
# never creates the prefix by itself (serial_wine_ensure_prefix does).
#
# Settings that can be overridden from the environment:
#   SERIAL_WINE64       64-bit Wine loader        (default /usr/lib/wine/wine64)
#   SERIAL_WINE32       32-bit Wine loader        (default /usr/lib/wine/wine)
#   SERIAL_WINESERVER   wineserver                (default: wineserver on PATH)
#   SERIAL_WINE_CREATE_TIMEOUT  seconds allowed for creating a prefix (180)

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# A win64 prefix: 64-bit builtins (reg, cmd, wineboot) always run in it, and
# 32-bit programs run in it too where the machine can execute 32-bit code.
export WINEARCH=win64

: "${SERIAL_WINE64:=/usr/lib/wine/wine64}"
: "${SERIAL_WINE32:=/usr/lib/wine/wine}"
if [ -z "${SERIAL_WINESERVER:-}" ]; then
    SERIAL_WINESERVER=$(command -v wineserver 2>/dev/null || echo /usr/lib/wine/wineserver)
fi
: "${SERIAL_WINE_CREATE_TIMEOUT:=180}"
export SERIAL_WINE64 SERIAL_WINE32 SERIAL_WINESERVER

# Exit code of tools/wine-run when a 32-bit program cannot run on this machine;
# CTest treats it as "skipped" with SKIP_RETURN_CODE 77.
SERIAL_WINE_SKIP_RC=77

if [ $# -ge 1 ] && [ -n "$1" ]; then
    export WINEPREFIX="$1"
fi

serial_wine_msg() { echo "${SERIAL_WINE_TOOL:-wine-env}: $*" >&2; }

# The comment block at the top of SCRIPT (after the #! line), on stderr.
serial_wine_usage() {
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$1" >&2
}

# Absolute path without requiring it to exist (no trailing slash).
serial_wine_abspath() {
    local p=$1
    while [ "${#p}" -gt 1 ] && [ "${p%/}" != "$p" ]; do p=${p%/}; done
    case "$p" in
        /*) printf '%s\n' "$p" ;;
        *)  printf '%s/%s\n' "$(pwd)" "$p" ;;
    esac
}

# Start time of a process in clock ticks since boot; fails when the process
# is gone or a zombie.  A PID together with its start time names one process
# even after PIDs wrap.
serial_wine_pid_start() {
    local stat=""
    { read -r stat < "/proc/$1/stat"; } 2>/dev/null || return 1
    # The command name (field 2) may hold spaces: split after the last ')'.
    stat=${stat##*) }
    set -- $stat
    [ "$1" != Z ] && [ "$1" != X ] || return 1
    printf '%s\n' "${20}"
}

# True when PID is alive and (if given) still has start time START.
serial_wine_pid_is() {
    local now
    [ -n "${1:-}" ] || return 1
    now=$(serial_wine_pid_start "$1") || return 1
    [ -z "${2:-}" ] || [ "$now" = "$2" ]
}

# End one process by PID: SIGNAL (default TERM), wait up to GRACE seconds,
# then KILL.  START, when given, guards against a recycled PID.
serial_wine_stop_pid() {
    local pid=$1 start=${2:-} sig=${3:-TERM} grace=${4:-2} i
    serial_wine_pid_is "$pid" "$start" || return 0
    kill -s "$sig" "$pid" 2>/dev/null || return 0
    for ((i = 0; i < grace * 20; i++)); do
        serial_wine_pid_is "$pid" "$start" || return 0
        sleep 0.05
    done
    serial_wine_pid_is "$pid" "$start" || return 0
    kill -s KILL "$pid" 2>/dev/null
    for ((i = 0; i < 40; i++)); do
        serial_wine_pid_is "$pid" "$start" || return 0
        sleep 0.05
    done
    serial_wine_msg "process $pid did not end after SIGKILL"
    return 1
}

# Name of the directory in which a wineserver for PREFIX works:
# .../server-<dev>-<inode> of the prefix directory, in hex.
serial_wine_server_dirname() {
    local dev ino
    [ -d "$1" ] || return 1
    read -r dev ino < <(stat -L -c '%d %i' "$1") || return 1
    printf 'server-%x-%x\n' "$dev" "$ino"
}

# True when PID is a wineserver serving the prefix whose server directory is
# named DIRNAME.
serial_wine_is_server_of() {
    local pid=$1 want=$2 comm=""
    { read -r comm < "/proc/$pid/comm"; } 2>/dev/null || return 1
    case "$comm" in wineserver*) ;; *) return 1 ;; esac
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
        */"$want") return 0 ;;
    esac
    return 1
}

# PID of the wineserver serving PREFIX, if one runs.
serial_wine_server_pid() {
    local want p comm
    want=$(serial_wine_server_dirname "$1") || return 1
    for p in /proc/[0-9]*; do
        comm=""
        { read -r comm < "$p/comm"; } 2>/dev/null || continue
        case "$comm" in wineserver*) ;; *) continue ;; esac
        if serial_wine_is_server_of "${p#/proc/}" "$want"; then
            printf '%s\n' "${p#/proc/}"
            return 0
        fi
    done
    return 1
}

# PIDs of every process that runs with WINEPREFIX=PREFIX (Wine's own helper
# processes such as services.exe or winedevice.exe included).
serial_wine_prefix_pids() {
    local want="WINEPREFIX=$1" p var
    for p in /proc/[0-9]*; do
        [ "${p#/proc/}" != "$$" ] || continue
        { while IFS= read -r -d '' var; do
              if [ "$var" = "$want" ]; then
                  printf '%s\n' "${p#/proc/}"
                  break
              fi
          done < "$p/environ"; } 2>/dev/null
    done
}

# For a subshell about to exec a long-lived process: close every descriptor
# above KEEP (default 2), so that the process holds no pipe of our caller
# (a caller reading our output to its end would wait for it forever).
serial_wine_close_fds() {
    local keep=${1:-2} fd
    for fd in /proc/$BASHPID/fd/*; do
        fd=${fd##*/}
        [ "$fd" -gt "$keep" ] 2>/dev/null && eval "exec $fd>&-"
    done
    return 0
}

# Start a foreground wineserver for WINEPREFIX as a background job; its PID
# goes into SERIAL_WINE_SERVER_PID.  LINGER is the -p argument: "" keeps it
# running until it is ended, 0 lets it exit with its last client.  A
# daemonised server would take a serial pty as its controlling terminal;
# a foreground one stays in our session and does not.
serial_wine_start_server() {
    local linger=${1-} log=${2:-/dev/null} i
    local want
    want=$(serial_wine_server_dirname "$WINEPREFIX") || return 1
    (serial_wine_close_fds; exec "$SERIAL_WINESERVER" -f "-p$linger") </dev/null >>"$log" 2>&1 &
    SERIAL_WINE_SERVER_PID=$!
    # Wait until the server accepts clients (it then sits in its server dir).
    for ((i = 0; i < 200; i++)); do
        serial_wine_is_server_of "$SERIAL_WINE_SERVER_PID" "$want" && return 0
        serial_wine_pid_is "$SERIAL_WINE_SERVER_PID" || break
        sleep 0.05
    done
    if serial_wine_pid_is "$SERIAL_WINE_SERVER_PID"; then
        serial_wine_msg "wineserver $SERIAL_WINE_SERVER_PID did not come up for $WINEPREFIX"
        serial_wine_stop_pid "$SERIAL_WINE_SERVER_PID"
    else
        serial_wine_msg "wineserver for $WINEPREFIX exited at once (see $log)"
    fi
    return 1
}

# End a wineserver by PID.  SIGINT makes it kill every Wine process it serves
# before it exits; SIGTERM alone would leave services.exe & co. running.
serial_wine_stop_server() {
    serial_wine_stop_pid "$1" "${2:-}" INT 5
}

# Create PREFIX on first use (wineboot); reuse it afterwards.
# Concurrent callers are serialised with a lock file beside the prefix.
serial_wine_ensure_prefix() {
    local prefix rc=0 lockfd spid i
    prefix=$(serial_wine_abspath "$1")
    [ -f "$prefix/.serial-prefix-ready" ] && return 0
    mkdir -p "$(dirname "$prefix")" || return 1
    exec {lockfd}>"$prefix.lock" || return 1
    if ! flock -w "$SERIAL_WINE_CREATE_TIMEOUT" "$lockfd"; then
        serial_wine_msg "timed out waiting for another caller creating $prefix"
        exec {lockfd}>&-
        return 1
    fi
    if [ ! -f "$prefix/.serial-prefix-ready" ]; then
        serial_wine_msg "creating Wine prefix $prefix (once for this build folder)"
        mkdir -p "$prefix"
        if spid=$(serial_wine_server_pid "$prefix"); then
            serial_wine_msg "a wineserver (pid $spid) already serves the half-made prefix $prefix; end it first"
            rc=1
        elif ! WINEPREFIX=$prefix serial_wine_start_server 0 "$prefix.create.log"; then
            rc=1
        else
            spid=$SERIAL_WINE_SERVER_PID
            WINEPREFIX=$prefix timeout "$SERIAL_WINE_CREATE_TIMEOUT" "$SERIAL_WINE64" wineboot -i \
                </dev/null >>"$prefix.create.log" 2>&1 || rc=$?
            # The server writes the registry out when it exits; wait for that.
            for ((i = 0; i < 600; i++)); do
                serial_wine_pid_is "$spid" || break
                sleep 0.05
            done
            serial_wine_stop_server "$spid"
            if [ "$rc" -ne 0 ] || [ ! -f "$prefix/system.reg" ]; then
                serial_wine_msg "wineboot failed for $prefix (rc=$rc); see $prefix.create.log"
                rc=1
            else
                touch "$prefix/.serial-prefix-ready"
            fi
        fi
    fi
    exec {lockfd}>&-
    return "$rc"
}

# Whether this machine runs 32-bit Windows programs.  Debian's Wine starts
# them with its i386 loader, a 32-bit Linux program, so it asks that loader
# for its version.  Returns 0 when it answers; 1 when the kernel refuses to
# execute it (execve fails with ENOEXEC, "Exec format error": a kernel
# without 32-bit support, a fact of the machine); 2 for anything else, such
# as a missing loader or missing 32-bit libraries (wine32 missing or broken:
# an install fault).  SERIAL_WINE_32BIT_WHY says what was seen.
serial_wine_check_32bit() {
    local out rc
    if [ -z "${SERIAL_WINE_32BIT:-}" ]; then
        if [ ! -e "$SERIAL_WINE32" ]; then
            SERIAL_WINE_32BIT=2
            SERIAL_WINE_32BIT_WHY="$SERIAL_WINE32 is missing: install wine32:i386"
        else
            out=$(LC_ALL=C "$SERIAL_WINE32" --version </dev/null 2>&1)
            rc=$?
            if [ "$rc" -eq 0 ]; then
                SERIAL_WINE_32BIT=0
                SERIAL_WINE_32BIT_WHY="$SERIAL_WINE32 runs ($out)"
            elif [ "$rc" -eq 126 ] && [[ $out == *"Exec format error"* ]]; then
                SERIAL_WINE_32BIT=1
                SERIAL_WINE_32BIT_WHY="the kernel refuses 32-bit programs ($SERIAL_WINE32: Exec format error)"
            else
                SERIAL_WINE_32BIT=2
                SERIAL_WINE_32BIT_WHY="wine32 is missing or broken: $SERIAL_WINE32 --version failed (exit $rc): $(printf '%s' "$out" | tail -n 2 | tr '\n' ' ')"
            fi
        fi
    fi
    return "$SERIAL_WINE_32BIT"
}

# Machine of a PE file: i386, x86_64, other, or "" when it is not a PE file.
serial_wine_pe_machine() {
    local f=$1 off sig mach
    [ -f "$f" ] || return 0
    [ "$(head -c 2 "$f" 2>/dev/null)" = MZ ] || return 0
    off=$(od -An -t u4 -j 60 -N 4 "$f" 2>/dev/null | tr -d ' ')
    [ -n "$off" ] || return 0
    sig=$(od -An -t x1 -j "$off" -N 4 "$f" 2>/dev/null | tr -d ' \n')
    [ "$sig" = 50450000 ] || return 0
    mach=$(od -An -t x2 -j $((off + 4)) -N 2 "$f" 2>/dev/null | tr -d ' ')
    case "$mach" in
        014c) echo i386 ;;
        8664) echo x86_64 ;;
        *)    echo other ;;
    esac
}
