#!/usr/bin/env bash
# Fails when a program file includes a folder its layer may not use, or a
# system header that only platform/ may use. Layers, lowest first: platform;
# winsupport; checks and logging; the HTTP client (transport, protocol, the
# flat interface); fetch; cli. Tools and resources sit beside cli.
#   check_layers.sh [SOURCE_ROOT]
#   check_layers.sh --self-test   (each kind of violation in a scratch tree must fail)
set -uo pipefail
self="${BASH_SOURCE[0]}"
if [[ "${1:-}" == --self-test ]]; then
  t=$(mktemp -d); trap 'rm -rf "$t"' EXIT
  mkdir -p "$t"/{platform,checks,logging,httpclient/protocol,fetch}
  probe() {  # probe FILE LINE: the check passes on an empty tree and fails with LINE in FILE
    find "$t" -type f -delete
    bash "$self" "$t" >/dev/null || { echo "self-test: clean tree rejected"; exit 1; }
    echo "$2" > "$t/$1"
    bash "$self" "$t" >/dev/null && { echo "self-test: not caught: $1: $2"; exit 1; }
  }
  probe checks/a.cpp '#include "cli/CliHandler.h"'
  probe logging/a.cpp '#include <unistd.h>'
  probe httpclient/protocol/a.cpp '#include "httpclient/transport/SocketEngine.h"'
  probe fetch/a.h '#include "httpclient/protocol/Url.h"'
  probe platform/a.cpp '#include "winsupport/CRegistry.h"'
  probe platform/a.cpp '#include <curl/curl.h>'
  echo "layers self-test: every violation caught"; exit 0
fi
root="${1:-$(cd "$(dirname "$self")/../.." && pwd)}"

# folder|includes it may name (an extended regex on the included path).
# The HTTP client's shared tables (error codes, Config text, setting tables)
# are open to each of its layers; otherwise a layer names only the one below.
# The authentication codecs (auth/) know only the platform; HTTP and the tunnel use them.
shared='httpclient/transport/(ComponentErrors|ComponentIds|ConfigText|SettingTable)\.h'
rules=(
  "platform|platform/"
  "winsupport|(winsupport|platform)/"
  "checks|(checks|winsupport|platform)/"
  "logging|(logging|winsupport|platform|generated)/"
  # Authentication codecs: no HTTP, no sockets; the security package table.
  "httpclient/auth|(httpclient/auth/|httpclient/transport/SecurityLibrary\.h|$shared|platform/)"
  "httpclient/transport|(httpclient/transport|httpclient/auth|platform)/"
  "httpclient/protocol|(httpclient/protocol/|httpclient/auth/|httpclient/transport/TlsClient\.h|$shared|platform/)"
  "httpclient|(httpclient/[^/]+$|httpclient/protocol/HttpComponent\.h|$shared|platform/)"
  "fetch|(fetch/|httpclient/[^/]+$|winsupport/|platform/)"
  "cli|(cli|fetch|checks|logging|winsupport|platform|generated)/"
  "tools|(tools|winsupport|platform)/"
  # The diagnostics tool runs a check's download: the front end's option
  # table, the fetcher, the checks; the transcript's escapes and Base64 for
  # the masking of credentials.
  "tools/diag|((tools|cli|fetch|checks|winsupport|platform)/|httpclient/HTTPS\.h|httpclient/auth/AuthCommon\.h|httpclient/transport/SessionTranscript\.h)"
  "resources|(resources|platform)/"
)
# System headers outside platform/: C++'s own, and the libraries the program
# calls directly. Any other <....h> is a platform header.
allowed_system='^(tclap|crypto\+\+|boost|nlohmann)/|^zlib\.h$|^[a-z_]+$'

bad=0
cd "$root" || exit 2
while IFS= read -r file; do
  folder=$(dirname "$file")
  allow="" best=""
  for rule in "${rules[@]}"; do
    layer=${rule%%|*}
    [[ "$folder" == "$layer" || "$folder" == "$layer"/* ]] || continue
    # The longest matching folder wins (httpclient/protocol over httpclient).
    (( ${#layer} > ${#best} )) && best=$layer allow=$rule
  done
  [[ -n "$allow" ]] || { echo "$file: no layer rule for folder $folder"; bad=1; continue; }
  re="^(${allow#*|})"
  while IFS= read -r line; do
    inc=${line#*\"}; inc=${inc%%\"*}
    [[ "$inc" =~ $re ]] || { echo "$file: includes \"$inc\", which layer ${allow%%|*} may not use"; bad=1; }
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
  # libcurl belongs to the Internet library alone.
  if grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<curl/' "$file" &&
     [[ ! "$file" =~ ^platform/wininet[^/]*\.cpp$ ]]; then
    echo "$file: includes libcurl, which only platform/wininet*.cpp may use"; bad=1
  fi
  [[ "$folder" == platform ]] && continue
  while IFS= read -r line; do
    inc=${line#*<}; inc=${inc%%>*}
    [[ "$inc" =~ $allowed_system ]] || { echo "$file: includes <$inc>, a platform header outside platform/"; bad=1; }
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*<' "$file")
done < <(find platform winsupport checks logging httpclient fetch cli tools resources \
              -type f 2>/dev/null \( -name '*.cpp' -o -name '*.h' \) | sort)
[[ $bad == 0 ]] && echo "layers: every include is allowed"
exit $bad
