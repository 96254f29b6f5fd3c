# shellcheck shell=bash
# Shared helpers of bench/hash, bench/compare and bench/copy. Sourced, not run.
#
# Environment understood by every script:
#   ZEF        zef binary (default: build/linux-release/zef; the first argument wins)
#   SIZE       size of the generated input(s), e.g. 2G, 512M, 1048576 (default 2G)
#   BENCH_DIR  where the temporary folder is made (default /var/tmp/zef-bench)
#   KEEP=1     keep the temporary folder and its data
#   REPS       runs of each command; the best wall time is reported (default 3)
#   CACHE      cold, warm or both (default both)
#   PEERS_ONLY=1  run without zef (only the other tools are measured)

export LC_ALL=C

BENCH_HOME=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(dirname "$BENCH_HOME")

say() { printf '%s\n' "$*"; }
die() { printf '%s: %s\n' "$BENCH_NAME" "$*" >&2; exit 1; }

# parse_size 2G -> 2147483648 (K, M, G, T are powers of 1024)
parse_size() {
    local v=$1 n u
    [[ $v =~ ^([0-9]+)([KkMmGgTt]?)(i?[Bb])?$ ]] || die "bad size '$v'"
    n=${BASH_REMATCH[1]}
    u=${BASH_REMATCH[2]^^}
    case $u in
        K) n=$((n << 10)) ;; M) n=$((n << 20)) ;;
        G) n=$((n << 30)) ;; T) n=$((n << 40)) ;;
    esac
    ((n > 0)) || die "size must be above 0: '$v'"
    printf '%s\n' "$n"
}

# human 2147483648 -> "2.00 GiB"
human() {
    awk -v b="$1" 'BEGIN {
        split("B KiB MiB GiB TiB", u, " "); i = 1
        while (b >= 1024 && i < 5) { b /= 1024; i++ }
        printf (i == 1 ? "%d %s" : "%.2f %s"), b, u[i] }'
}

# bench_init NAME USAGE ARGS...: options, zef, tools, settings.
bench_init() {
    BENCH_NAME=$1
    BENCH_USAGE=$2
    shift 2
    local arg zef_arg=
    for arg in "$@"; do
        case $arg in
            -h | --help) printf 'usage: %s\n' "$BENCH_USAGE"; exit 0 ;;
            -*) printf 'usage: %s\n' "$BENCH_USAGE" >&2; exit 2 ;;
            *) [[ -z $zef_arg ]] || { printf 'usage: %s\n' "$BENCH_USAGE" >&2; exit 2; }
               zef_arg=$arg ;;
        esac
    done
    ZEF=${zef_arg:-${ZEF:-$REPO_ROOT/build/linux-release/zef}}
    REPS=${REPS:-3}
    [[ $REPS =~ ^[1-9][0-9]*$ ]] || die "REPS must be a positive number"
    CACHE=${CACHE:-both}
    case $CACHE in
        both) MODES=(cold warm) ;; cold | warm) MODES=("$CACHE") ;;
        *) die "CACHE must be cold, warm or both" ;;
    esac
    BENCH_DIR=${BENCH_DIR:-/var/tmp/zef-bench}
    KEEP=${KEEP:-0}

    HAVE_ZEF=1
    if [[ ${PEERS_ONLY:-0} == 1 ]]; then
        HAVE_ZEF=0
    elif [[ ! -x $ZEF ]]; then
        die "zef not found at '$ZEF' (build it, pass its path or set ZEF; PEERS_ONLY=1 measures the other tools alone)"
    fi
    if [[ -x /usr/bin/time ]] && /usr/bin/time -f %M true >/dev/null 2>&1; then
        HAVE_TIME=1
    else
        HAVE_TIME=0
    fi
    RUN_SEQ=0
}

# bench_header: what is measured where, and how.
bench_header() {
    say "== $BENCH_NAME: $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -r), $(nproc) CPUs =="
    say "cpu:      $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
    if ((HAVE_ZEF)); then
        say "zef:      $ZEF"
    else
        say "zef:      not run (PEERS_ONLY=1)"
    fi
    say "peers:    $(openssl version | awk '{ print $1, $2 }'), coreutils $(sha1sum --version | awk 'NR == 1 { print $NF }'), diffutils $(cmp --version | awk 'NR == 1 { print $NF }')"
    say "data:     $WORK"
    say "runs:     best wall time of $REPS; MB/s = bytes of one input / second / 10^6"
    if ((HAVE_TIME)); then
        say "memory:   peak resident set size from GNU time (/usr/bin/time)"
    else
        say "memory:   not measured (install GNU time: apt-get install -y time)"
    fi
    say "cache:    modes ${MODES[*]}; $(cache_note)"
    say "load:     $(load_note)"
}

# load_note: the load average; other jobs on the machine make the numbers vary.
load_note() {
    local l1 l5 l15 rest
    read -r l1 l5 l15 rest </proc/loadavg
    printf '%s %s %s' "$l1" "$l5" "$l15"
    if awk -v l="$l1" 'BEGIN { exit !(l >= 0.5) }'; then
        printf '  (other jobs are running: expect noisy numbers)'
    fi
}

# bench_footer: the last lines of every script.
bench_footer() {
    say ""
    say "load at the end: $(load_note)"
}

# need_space BYTES: stop when BENCH_DIR cannot hold the data.
need_space() {
    local need=$1 avail margin=$((64 << 20))
    mkdir -p "$BENCH_DIR" || die "cannot create $BENCH_DIR"
    avail=$(df -B1 --output=avail "$BENCH_DIR" | tail -n 1 | tr -d ' ')
    if ((avail < need + margin)); then
        die "not enough free space in $BENCH_DIR: need $(human $((need + margin))), $(human "$avail") free (set BENCH_DIR or a smaller SIZE)"
    fi
    # shellcheck disable=SC2034 # shown by the scripts
    SPACE_NOTE="need $(human "$need"), $(human "$avail") free in $BENCH_DIR"
}

# make_work: the temporary folder, removed at exit unless KEEP=1.
make_work() {
    WORK=$(mktemp -d "$BENCH_DIR/$BENCH_NAME.XXXXXX")
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}

bench_cleanup() {
    [[ -n ${WORK:-} && -d $WORK ]] || return 0
    if [[ $KEEP == 1 ]]; then
        say "kept:     $WORK"
    else
        rm -rf -- "$WORK"
    fi
}

# gen_random FILE BYTES SEED: reproducible pseudo-random bytes (AES-CTR of zeros).
gen_random() {
    local key
    key=$(printf '%s' "zef-bench-$3" | sha256sum | cut -c1-32)
    head -c "$2" /dev/zero |
        openssl enc -aes-128-ctr -nosalt -K "$key" -iv 00000000000000000000000000000000 >"$1"
    [[ $(stat -c %s "$1") == "$2" ]] || die "could not generate $1"
}

# gen_fill FILE BYTES OCTAL_BYTE: a file of one repeated byte.
gen_fill() {
    if [[ $3 == 0 ]]; then
        head -c "$2" /dev/zero >"$1"
    else
        head -c "$2" /dev/zero | tr '\0' "\\$3" >"$1"
    fi
}

# --- page cache --------------------------------------------------------------

# The whole cache is dropped when /proc/sys/vm/drop_caches can be written;
# otherwise each input is dropped with posix_fadvise(DONTNEED) (dd iflag=nocache),
# which evicts clean pages of that file without privileges.
detect_cache_drop() {
    if (sync && echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then
        CACHE_METHOD=drop_caches
    elif dd --help 2>/dev/null | grep -q nocache; then
        CACHE_METHOD=fadvise
    else
        CACHE_METHOD=none
    fi
}

cache_note() {
    case $CACHE_METHOD in
        drop_caches) printf 'cold = sync; echo 3 > /proc/sys/vm/drop_caches before each run' ;;
        fadvise) printf 'cold = sync and posix_fadvise(DONTNEED) of each input before each run (/proc/sys/vm/drop_caches not writable here)' ;;
        none) printf 'NO cache drop possible here: the "cold" runs are cached too' ;;
    esac
    printf '; warm = inputs read into the page cache before each run (shows CPU-bound speed)'
}

drop_cache() {
    local f
    sync
    case $CACHE_METHOD in
        drop_caches) echo 3 >/proc/sys/vm/drop_caches ;;
        fadvise) for f in "$@"; do dd if="$f" iflag=nocache count=0 status=none; done ;;
    esac
}

warm_cache() {
    cat -- "$@" >/dev/null
}

# resident FILE: percentage of FILE in the page cache ("?" without fincore).
resident() {
    local res
    if command -v fincore >/dev/null && res=$(fincore -b -n -o RES -- "$1" 2>/dev/null); then
        awk -v r="$res" -v s="$(stat -c %s "$1")" 'BEGIN { printf "%.0f%%", 100 * r / s }'
    else
        printf '?'
    fi
}

# check_cache FILE: show once that cold and warm mean what they say.
check_cache() {
    local cold warm
    drop_cache "$1"
    cold=$(resident "$1")
    warm_cache "$1"
    warm=$(resident "$1")
    say "check:    $(basename "$1") resident in the page cache: $cold after the drop, $warm after warming"
}

# --- measuring ---------------------------------------------------------------

# Results, by key: LABEL, SEC (best wall seconds), BYTES, RSS (KiB, peak), OUT/ERR
# (files with stdout and stderr of the last run), FAILED (why the command failed).
declare -A LABEL SEC BYTES RSS OUT ERR FAILED

# Set by the scripts before measure: MODE (cold|warm), CACHE_FILES (inputs),
# PREP (shell text run before each run, untimed).
MODE=warm
CACHE_FILES=()
PREP=

prepare_run() {
    [[ -z $PREP ]] || eval "$PREP"
    ((${#CACHE_FILES[@]})) || return 0
    if [[ $MODE == cold ]]; then
        drop_cache "${CACHE_FILES[@]}"
    else
        warm_cache "${CACHE_FILES[@]}"
    fi
}

# measure KEY LABEL BYTES OK_STATUSES SHELL_TEXT
# Runs SHELL_TEXT REPS times (bash -c, output kept in files), each after
# prepare_run; keeps the best wall time and the largest peak RSS. An exit
# status not in OK_STATUSES marks the command failed and ends its runs.
measure() {
    local key=$1 label=$2 bytes=$3 ok=$4 cmd=$5 reps=${6:-$REPS}
    local i t0 t1 us best='' rss=0 r st times=''
    RUN_SEQ=$((RUN_SEQ + 1))
    LABEL[$key]=$label
    BYTES[$key]=$bytes
    OUT[$key]=$WORK/.out.$RUN_SEQ
    ERR[$key]=$WORK/.err.$RUN_SEQ
    for ((i = 0; i < reps; i++)); do
        prepare_run
        st=0
        t0=${EPOCHREALTIME/./}
        if ((HAVE_TIME)); then
            /usr/bin/time -f %M -o "$WORK/.rss" bash -c "$cmd" >"${OUT[$key]}" 2>"${ERR[$key]}" || st=$?
        else
            bash -c "$cmd" >"${OUT[$key]}" 2>"${ERR[$key]}" || st=$?
        fi
        t1=${EPOCHREALTIME/./}
        if [[ " $ok " != *" $st "* ]]; then
            FAILED[$key]="exit status $st"
            printf '  %-5s %-44s FAILED (exit status %s)\n' "$MODE" "$label" "$st"
            tail -n 3 "${ERR[$key]}" | sed 's/^/        | /'
            return 0
        fi
        us=$((t1 - t0))
        [[ -n $best ]] && ((best <= us)) || best=$us
        if ((HAVE_TIME)); then
            r=$(tail -n 1 "$WORK/.rss")
            [[ $r =~ ^[0-9]+$ ]] && ((r > rss)) && rss=$r
        fi
        times+=" $(awk -v u="$us" 'BEGIN { printf "%.3f", u / 1e6 }')"
    done
    SEC[$key]=$(awk -v u="$best" 'BEGIN { printf "%.6f", u / 1e6 }')
    ((HAVE_TIME)) && RSS[$key]=$rss
    printf '  %-5s %-44s%s s\n' "$MODE" "$label" "$times"
}

# record_rate KEY LABEL BYTES_PER_SECOND: a throughput measured by the tool itself.
record_rate() {
    LABEL[$1]=$2
    BYTES[$1]=$3
    SEC[$1]=1
}

ok_result() { [[ -n ${SEC[$1]:-} && -z ${FAILED[$1]:-} ]]; }

# mbs KEY -> MB/s (10^6 bytes per second), empty when not measured
mbs() {
    ok_result "$1" || return 0
    awk -v b="${BYTES[$1]}" -v s="${SEC[$1]}" 'BEGIN { printf "%.1f", b / s / 1e6 }'
}

# speed_ratio A B -> throughput of A / throughput of B, empty when either is missing
speed_ratio() {
    ok_result "$1" && ok_result "$2" || return 0
    awk -v ba="${BYTES[$1]}" -v sa="${SEC[$1]}" -v bb="${BYTES[$2]}" -v sb="${SEC[$2]}" \
        'BEGIN { printf "%.3f", (ba / sa) / (bb / sb) }'
}

# time_ratio A B -> wall seconds of A / wall seconds of B
time_ratio() {
    ok_result "$1" && ok_result "$2" || return 0
    awk -v a="${SEC[$1]}" -v b="${SEC[$2]}" 'BEGIN { printf "%.3f", a / b }'
}

# print_table TITLE REF_KEY KEY...: command, seconds, MB/s, zef/this, peak RSS.
# zef/this is the throughput of REF_KEY (the zef run) over that of the row:
# above 1 zef is faster.
print_table() {
    local title=$1 ref=$2 key s m r k
    shift 2
    say ""
    say "$title"
    printf '  %-46s %9s %9s %9s %10s\n' command seconds MB/s zef/this "peak RSS"
    for key in "$@"; do
        [[ -n ${LABEL[$key]:-} ]] || continue
        if [[ -n ${FAILED[$key]:-} ]]; then
            printf '  %-46s %9s\n' "${LABEL[$key]}" "FAILED (${FAILED[$key]})"
            continue
        fi
        if [[ ${SEC[$key]} == 1 && -z ${OUT[$key]:-} ]]; then
            s=-
        else
            s=$(awk -v s="${SEC[$key]}" 'BEGIN { printf "%.3f", s }')
        fi
        m=$(mbs "$key")
        r=$(speed_ratio "$ref" "$key")
        if [[ -n ${RSS[$key]:-} ]]; then
            k=$(awk -v k="${RSS[$key]}" 'BEGIN { printf "%.1f MiB", k / 1024 }')
        else
            k=-
        fi
        printf '  %-46s %9s %9s %9s %10s\n' "${LABEL[$key]}" "$s" "${m:--}" "${r:--}" "$k"
    done
}

# target TEXT VALUE OP LIMIT: one PASS/MISS line (OP is >=, <= or <).
target() {
    local text=$1 value=$2 op=$3 limit=$4 verdict
    if [[ -z $value ]]; then
        printf '  %-70s %7s  (target %s %s)  n/a\n' "$text" - "$op" "$limit"
        return 0
    fi
    verdict=$(awk -v v="$value" -v l="$limit" -v op="$op" \
        'BEGIN { ok = (op == ">=") ? (v >= l) : (op == "<") ? (v < l) : (v <= l); print ok ? "PASS" : "MISS" }')
    printf '  %-70s %7.3f  (target %s %s)  %s\n' "$text" "$value" "$op" "$limit" "$verdict"
}

# info TEXT VALUE: a ratio shown without a target.
info() {
    printf '  %-70s %7s\n' "$1" "${2:--}"
}

# q WORD: shell-quoted for the command texts given to measure
q() { printf '%q' "$1"; }
