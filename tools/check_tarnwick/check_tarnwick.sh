#!/bin/sh
# check_tarnwick: runs one tarnwick check for Nagios, Icinga 2 and other
# monitoring systems that read a plugin's status line and exit code.
#
#   check_tarnwick [-c] [-b TARNWICK] [--] TARNWICK_ARGUMENTS...
#
# The arguments go to `tarnwick /lc`. Passwords are never arguments here:
# tarnwick reads TARNWICK_PASSWORD and TARNWICK_PROXY_PASSWORD from the
# environment this plugin passes on.
#
# Exit codes, from tarnwick's:
#   0                                   OK
#   1 with a result line ("was not found", "changed to")
#                                       WARNING (CRITICAL with -c)
#   1 without one (command line rejected), 10, a signal, anything else
#                                       UNKNOWN
#   2 (the page could not be retrieved) CRITICAL
# The status line carries tarnwick's own lines and the run time as
# performance data (time=).

usage() {
  cat <<'TEXT'
Usage: check_tarnwick [-c] [-b TARNWICK] [--] TARNWICK_ARGUMENTS...

Runs `tarnwick /lc TARNWICK_ARGUMENTS...` and reports its result as a
monitoring plugin: OK (0), WARNING (1), CRITICAL (2) or UNKNOWN (3).

  -c           a missing pattern or a changed page is CRITICAL, not WARNING
  -b TARNWICK  the tarnwick program to run (default: tarnwick on the PATH)
  -h, --help   shows this text

Passwords are not accepted as arguments (no /p, /password, /proxypass):
set TARNWICK_PASSWORD and TARNWICK_PROXY_PASSWORD in the environment.
TEXT
}

unknown() {
  echo "TARNWICK UNKNOWN - $*"
  exit 3
}

critical_on_result=0
tarnwick=tarnwick
while [ $# -gt 0 ]; do
  case $1 in
    -c) critical_on_result=1; shift ;;
    -b) [ $# -ge 2 ] || unknown "-b needs the path of tarnwick"
        tarnwick=$2; shift 2 ;;
    -h|--help) usage; exit 3 ;;
    --) shift; break ;;
    -*) unknown "unknown option $1 (try check_tarnwick --help)" ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || unknown "no tarnwick arguments (try check_tarnwick --help)"
for arg in "$@"; do
  case $arg in
    /p|/password|/proxypass)
      unknown "$arg is not accepted here: set TARNWICK_PASSWORD or TARNWICK_PROXY_PASSWORD" ;;
  esac
done
command -v "$tarnwick" >/dev/null 2>&1 || unknown "$tarnwick not found (install tarnwick or give -b)"

# The run time from the system's uptime in hundredths of seconds, read by
# the shell itself: on a busy machine every further process costs.
read -r up _ </proc/uptime
start=${up%.*}${up#*.}
output=$("$tarnwick" /lc "$@" 2>&1)
code=$?
read -r up _ </proc/uptime
elapsed=$((${up%.*}${up#*.} - start))
# The non-blank lines as one, "|" (the separator of the performance data)
# made "/".
text=
set -f
old_ifs=$IFS
IFS='
'
for line in $output; do
  case $line in *[![:space:]]*) text="${text:+$text; }$line" ;; esac
done
IFS=$old_ifs
set +f
while case $text in *'|'*) ;; *) false ;; esac; do text="${text%%|*}/${text#*|}"; done
perf="time=$((elapsed / 100)).$((elapsed / 10 % 10))$((elapsed % 10))s;;;0"

case $code in
  0) state=OK; status=0 ;;
  1) case $output in
       *"was not found"*|*"changed to"*)
         if [ $critical_on_result -eq 1 ]; then state=CRITICAL; status=2
         else state=WARNING; status=1; fi ;;
       *) state=UNKNOWN; status=3
          text="command line rejected: $(printf '%s\n' "$output" | grep -m1 -A1 'PARSE ERROR' | tr -s ' \n' ' ' | sed 's/ *$//')" ;;
     esac ;;
  2) state=CRITICAL; status=2 ;;
  10) state=UNKNOWN; status=3; text="start-up failure: $text" ;;
  *) state=UNKNOWN; status=3
     if [ "$code" -gt 128 ]; then text="ended by signal $((code - 128)): $text"
     else text="exit code $code: $text"; fi ;;
esac
echo "TARNWICK $state - $text | $perf"
exit $status
