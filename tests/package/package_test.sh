#!/usr/bin/env bash
# The package, the monitoring plugin, the man pages and the examples, as a
# user meets them.
#
#   package_test.sh build OUT      scripts/package.sh into OUT; lintian; contents
#                                  and control fields; the packaged tarnwick runs
#   package_test.sh install OUT    as root on a machine without tarnwick's state:
#                                  install OUT's .deb, check, purge (else skips)
#   package_test.sh plugin         check_tarnwick against the peers' nginx
#   package_test.sh docs           man pages, examples checked by their own tools,
#                                  and the command lines of README.md and examples/
#                                  run against the peers' nginx
#
# Environment: TW_SOURCE_DIR, TARNWICK_BIN, TARNWICK_EVENTLOG_BIN, TARNWICK_REG_BIN,
# TW_PROGRAMS (the packaged programs), TW_PEERS_ENV (plugin, docs, install).
# Exit code 77: skipped (the reason on standard output).
set -euo pipefail
src=$TW_SOURCE_DIR
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIPPED: $*"; exit 77; }
work=$(mktemp -d)
chmod 755 "$work"
cleanup_steps=("rm -rf '$work'")
trap 'for s in "${cleanup_steps[@]}"; do eval "$s" || true; done' EXIT

peers() {
  [[ -r ${TW_PEERS_ENV:-} ]] || { echo "no peers (TW_PEERS_ENV)"; exit 1; }
  set -a; source "$TW_PEERS_ENV"; set +a
  base="http://127.0.0.1:$TW_NGINX_PORT"
}

# A page of our own under the document root's change/, its URL in $page.
own_page() {
  local dir
  dir=$(mktemp -d "$TW_NGINX_ROOT/change/pkg.XXXXXX")
  chmod 755 "$dir"
  cleanup_steps+=("rm -rf '$dir'")
  page="$base/change/${dir##*/}/index.html"
  page_file="$dir/index.html"
  printf '<p>Opening hours: 9 to 5</p>\n' >"$page_file"
  chmod 644 "$page_file"
}

case $1 in
build)
  out=$2
  deb=$("$src/scripts/package.sh" "$out" | tail -n 1)
  version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
  lintian --fail-on error --tag-display-limit 0 "$deb" >"$out/lintian.txt" 2>&1 ||
    fail "lintian errors: $(grep '^E:' "$out/lintian.txt")"
  cat "$out/lintian.txt"
  [[ $(dpkg-deb -f "$deb" Package Version Architecture) == "Package: tarnwick
Version: $version
Architecture: $(dpkg --print-architecture)" ]] || fail "control: $(dpkg-deb -f "$deb")"
  depends=$(dpkg-deb -f "$deb" Depends)
  for lib in adduser libc6 libssl3 libsqlite3-0 zlib1g libstdc++6; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
  done
  listing=$(dpkg-deb -c "$deb" | awk '{print $1, $6}')
  expected=("-rwxr-xr-x ./usr/lib/nagios/plugins/check_tarnwick"
            "-rw-r--r-- ./usr/lib/tarnwick/tarnwick-tls.so")
  for p in $TW_PROGRAMS; do
    expected+=("-rwxr-xr-x ./usr/bin/$p" "-rw-r--r-- ./usr/share/man/man1/$p.1.gz")
  done
  for f in README.md $(cd "$src" && git ls-files examples); do
    expected+=("-rw-r--r-- ./usr/share/doc/tarnwick/$f")
  done
  for e in "${expected[@]}"; do
    grep -qxF -e "$e" -e "$e.gz" <<<"$listing" || fail "not in the package: $e"
  done
  # The packaged programs keep their resource sections (version, messages).
  dpkg-deb -x "$deb" "$work/root"
  [[ $("$work/root/usr/bin/tarnwick" /version) == *" v"[0-9]* ]] || fail "packaged tarnwick /version"
  ;;

install)
  out=$2
  [[ $EUID -eq 0 ]] || skip "installing a package needs root"
  for what in "dpkg-query -W tarnwick" "getent group tarnwick" "test -e /var/log/tarnwick" \
              "test -e /var/lib/tarnwick"; do
    ! $what >/dev/null 2>&1 || skip "'$what' finds tarnwick's state on this machine; it is left alone"
  done
  peers
  own_page
  deb=$(ls "$out"/tarnwick_*.deb)
  cleanup_steps+=("dpkg --purge tarnwick >/dev/null 2>&1" "groupdel tarnwick 2>/dev/null")
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; exit 1; }
  modes=$(stat -c '%n %U:%G %a' /var/log/tarnwick /var/log/tarnwick/eventlog.db \
            /var/lib/tarnwick /var/lib/tarnwick/machine.db)
  [[ $modes == "/var/log/tarnwick root:tarnwick 2775
/var/log/tarnwick/eventlog.db root:tarnwick 664
/var/lib/tarnwick root:root 755
/var/lib/tarnwick/machine.db root:root 644" ]] || fail "state modes: $modes"
  # The postinst's registration is the one the program makes for itself.
  key='HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\Harrowlights'
  mkdir -m 700 "$work/own"
  TARNWICK_ROOT=$work/own TARNWICK_SYSLOG_SOCKET=$work/none /usr/bin/tarnwick /le /checksum "$page" >/dev/null
  reg=/usr/bin/tarnwick-reg
  [[ $($reg query "$key") == "$(TARNWICK_ROOT=$work/own $reg query "$key")" ]] ||
    fail "registration: $($reg query "$key")"
  # nobody in the group writes an event that shows its text; without the
  # group it reaches only syslog.
  mkdir -m 1777 "$work/home"
  gid=$(getent group tarnwick | cut -d: -f3)
  for groups in "--groups=$gid" "--clear-groups"; do
    setpriv --reuid=65534 --regid=65534 "$groups" env -u TARNWICK_ROOT HOME="$work/home" \
      TMPDIR="$work/home" TARNWICK_SYSLOG_SOCKET="$work/none" \
      /usr/bin/tarnwick /le /t '*Opening hours*' "$page" >/dev/null || fail "check with $groups"
  done
  events=$(/usr/bin/tarnwick-eventlog --json | jq -c '[.uid, .message]')
  [[ $events == "[65534,\"Pattern \\\"*Opening hours*\\\" was found in URL \\\"$page\\\".\"]" ]] ||
    fail "events: $events"
  dpkg --purge tarnwick >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
  for gone in /var/log/tarnwick /var/lib/tarnwick /usr/bin/tarnwick; do
    [[ ! -e $gone ]] || fail "left after purge: $gone"
  done
  getent group tarnwick >/dev/null || fail "purge removed the group"
  ;;

plugin)
  peers
  own_page
  plugin=$src/tools/check_tarnwick/check_tarnwick.sh
  objcopy --remove-section=.tw_version "$TARNWICK_BIN" "$work/no-version"
  basic="$base$TW_NGINX_BASIC_PATH"
  # row EXIT 'STATUS LINE (extended regex)' [VAR=value...] -- ARGUMENTS...
  row() {
    local code=$1 status=$2 envs=() out rc=0
    shift 2
    while [[ $1 != -- ]]; do envs+=("$1"); shift; done
    shift
    out=$(env "${envs[@]}" "$plugin" "$@") || rc=$?
    [[ $rc == "$code" && $out =~ ^TARNWICK\ $status$ ]] || fail "$* -> $rc: $out"
  }
  t=(-b "$TARNWICK_BIN")
  time='\| time=[0-9]+\.[0-9]{2}s;;;0'
  row 0 "OK - Checksum initialized\. $time" -- "${t[@]}" /checksum "$page"
  row 0 "OK - The checksum of URL \"$page\" did not change\. $time" -- "${t[@]}" /checksum "$page"
  echo '<p>Closed</p>' >>"$page_file"
  row 1 "WARNING - The checksum of URL \"$page\" changed to \"[0-9A-F]{64}\"\. $time" -- "${t[@]}" /checksum "$page"
  row 0 "OK - Pattern \"\*Opening hours\*\" was found in URL \"$page\"\. $time" -- "${t[@]}" /t '*Opening hours*' "$page"
  row 1 "WARNING - Pattern \"\*Sundays\*\" was not found in URL \"$page\"\. $time" -- "${t[@]}" /t '*Sundays*' "$page"
  row 2 "CRITICAL - Pattern \"\*Sundays\*\" was not found .* $time" -- -c "${t[@]}" /t '*Sundays*' "$page"
  row 0 "OK - Pattern \"\*Basic\*\" was found .* $time" TARNWICK_PASSWORD="$TW_HTTP_PASSWORD" -- "${t[@]}" \
    /u "$TW_HTTP_USER" /t '*Basic*' "$basic"
  row 2 "CRITICAL - Unable to connect or retrieve \"http://127.0.0.1:1/\" .* $time" -- "${t[@]}" /checksum http://127.0.0.1:1/
  row 3 "UNKNOWN - command line rejected: PARSE ERROR: .* $time" -- "${t[@]}" /bogus "$page"
  row 3 "UNKNOWN - start-up failure: .*resource type cannot be found.* $time" -- -b "$work/no-version" /checksum "$page"
  row 3 "UNKNOWN - /p is not accepted here: .*" -- "${t[@]}" /u x /p secret "$page"
  row 3 "UNKNOWN - $work/none not found .*" -- -b "$work/none" /checksum "$page"
  row 3 "UNKNOWN - unknown option -x .*" -- -x "$page"
  ;;

docs)
  export LC_ALL=C.UTF-8
  render() { groff -man -Tascii -P-cbou "$@" 2>&1; }
  for page in "$src"/man/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [[ -z $warnings ]] || fail "groff on ${page##*/}: $warnings"
  done
  # Every option the programs show is in their pages.
  for p in $TW_PROGRAMS; do
    if [[ $p == tarnwick ]]; then
      opts=$("$TARNWICK_BIN" '/?' | sed -n '/^Where:/,$p' | grep -oE '^ +/[^ ,]+|,  /[^ ]+' | grep -oE '/.*')
    else
      var=${p#tarnwick-}; var="TARNWICK_${var^^}_BIN"
      opts=$("${!var}" --help | grep -oE -- '--[a-z-]+')
    fi
    [[ -n $opts ]] || fail "no options found in the help of $p"
    text=$(render "$src/man/$p.1")
    for o in $opts; do grep -qwF -- "$o" <<<"$text" || fail "$p.1 lacks $o"; done
  done

  # The examples, checked by their own tools.
  mkdir "$work/units"
  sed "s#/usr/bin/tarnwick#$TARNWICK_BIN#" "$src/examples/systemd/tarnwick-check.service" \
    >"$work/units/tarnwick-check.service"
  cp "$src/examples/systemd/tarnwick-check.timer" "$work/units/"
  verdict=$(systemd-analyze verify --man=no "$work"/units/* 2>&1) || fail "systemd-analyze failed"
  [[ -z $verdict ]] || fail "systemd-analyze: $verdict"
  cat >"$work/icinga2.conf" <<EOF
const PluginDir = "/usr/lib/nagios/plugins"
const NodeName = "master.example.org"
const ZoneName = "master"
include <itl>
include <plugins>
object Endpoint NodeName {}
object Zone ZoneName { endpoints = [ NodeName ] }
object Endpoint "agent1.example.org" {}
object Zone "agent1.example.org" { endpoints = [ "agent1.example.org" ]; parent = ZoneName }
include "$src/examples/icinga2/tarnwick.conf"
EOF
  if command -v icinga2 >/dev/null; then
    dirs=(); for d in Data Cache Log InitRun Spool; do dirs+=("-D${d}Dir=$work"); done
    verdict=$(icinga2 daemon -C -c "$work/icinga2.conf" -DRunAsUser="$(id -un)" \
              -DRunAsGroup="$(id -gn)" "${dirs[@]}" 2>&1) || fail "icinga2 -C: $verdict"
    ! grep -E 'warning/|critical/' <<<"$verdict" || fail "icinga2 -C warns"
  else
    echo "SKIPPED icinga2 daemon -C: icinga2-bin is not installed"
  fi
  # Not run: nagios4-core brings a mail server along, so scripts/deps.sh
  # leaves it out; the Nagios commands are run below like the other lines.
  echo "SKIPPED nagios4 -v: nagios4-core is not installed"

  # The command lines of README.md and examples/, one per line, with the
  # example site's URLs and the installed paths as written.
  peers
  own_page
  python3 - "$src" >"$work/lines" <<'EOF' || fail "extracting the command lines"
import json, re, sys, yaml
src = sys.argv[1]
def out(line): print(line.strip())
readme = open(f"{src}/README.md").read()
for block in re.findall(r"```sh\n(.*?)```", readme, re.S):
    for line in block.splitlines():
        if "https://www.example.org" in line: out(line)
for line in open(f"{src}/examples/systemd/tarnwick-check.service"):
    if line.startswith("ExecStart="): out(line[len("ExecStart="):])
nagios = open(f"{src}/examples/nagios/tarnwick.cfg").read()
commands = dict(re.findall(r"command_name\s+(\S+)\s+command_line\s+(.*)", nagios))
for check in re.findall(r"check_command\s+(check_tarnwick\S*!.*)", nagios):
    name, *args = check.split("!")
    line = commands[name].replace("$USER1$", "/usr/lib/nagios/plugins")
    for i, a in enumerate(args, 1): line = line.replace(f"$ARG{i}$", a)
    out(line)
icinga = open(f"{src}/examples/icinga2/tarnwick.conf").read()
for body in re.findall(r'object Service "[^"]*" \{(.*?)\n\}', icinga, re.S):
    args = json.loads(re.search(r"vars.tarnwick_arguments = (\[.*\])", body).group(1))
    critical = ["-c"] if "vars.tarnwick_critical = true" in body else []
    out(" ".join(["/usr/lib/nagios/plugins/check_tarnwick", *critical, "--"] + [f"'{a}'" for a in args]))
for doc in yaml.safe_load_all(open(f"{src}/examples/kubernetes/tarnwick-cronjob.yaml")):
    if doc["kind"] == "CronJob":
        job = doc["spec"]["jobTemplate"]["spec"]
        for c in job["template"]["spec"]["containers"]:
            out(" ".join(f"'{w}'" for w in c["command"] + c["args"]))
EOF
  mkdir "$work/bin"
  ln -s "$TARNWICK_BIN" "$work/bin/tarnwick"
  ln -s "$src/tools/check_tarnwick/check_tarnwick.sh" "$work/bin/check_tarnwick"
  [[ $(wc -l <"$work/lines") -ge 8 ]] || fail "too few command lines found: $(cat "$work/lines")"
  while IFS= read -r line; do
    line=${line//https:\/\/www.example.org\/index.html/$page}
    line=${line//\/usr\/lib\/nagios\/plugins\//}
    line=${line//\/usr\/bin\//}
    out=$(PATH="$work/bin:$PATH" TARNWICK_ROOT="$work" TARNWICK_SYSLOG_SOCKET="$work/none" \
          sh -c "$line" 2>&1) || true
    grep -qE '(Checksum initialized|did not change|changed to|was (not )?found)' <<<"$out" ||
      fail "$line: $out"
  done <"$work/lines"
  ;;
esac
[[ $failures -eq 0 ]]
