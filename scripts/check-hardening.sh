#!/usr/bin/env bash
# Reads the hardening of the four Release executables and the TLS module of
# a build tree with readelf and prints one line per missing property; exits
# 1 if any is missing. Usage: scripts/check-hardening.sh BUILD_TREE
set -euo pipefail
tree=${1:?usage: check-hardening.sh BUILD_TREE}
bad=0
fail() { echo "hardening: $1: $2" >&2; bad=1; }

# Binary, then the shared libraries it must load rather than carry; "!lib":
# one it must not load at start (the programs take OpenSSL through the
# module, open SQLite at their first store and zlib at the first compressed
# body: on first use; Crypto++ is linked statically, and its shared library
# beside the static glue would let the glue stand in for the library's own).
binaries=(
  "cli/tarnwick libstdc++ libgcc_s !libz !libsqlite3 !libssl !libcrypto !libcrypto++"
  "tools/eventlog/tarnwick-eventlog libstdc++ libgcc_s !libsqlite3"
  "tools/reg/tarnwick-reg libstdc++ libgcc_s !libsqlite3"
  "tools/diag/tarnwick-diag libstdc++ libgcc_s !libz !libsqlite3 !libssl !libcrypto !libcrypto++"
  "platform/tarnwick-tls.so libssl libcrypto libstdc++ libgcc_s"
)
for entry in "${binaries[@]}"; do
  read -r rel libs <<<"$entry"
  bin="$tree/$rel"
  [[ -f $bin ]] || { fail "$rel" "not built"; continue; }
  dyn=$(readelf -dW "$bin")
  syms=$(readelf -sW "$bin")   # .symtab too: the Release build is not stripped
  grep -Eq 'Type:[[:space:]]+DYN' <<<"$(readelf -hW "$bin")" || fail "$rel" "not position-independent"
  grep -Eq 'BIND_NOW|FLAGS_1.*[[:space:]]NOW' <<<"$dyn" || fail "$rel" "no BIND_NOW (-z now)"
  grep -q GNU_RELRO <<<"$(readelf -lW "$bin")" || fail "$rel" "no GNU_RELRO segment"
  grep -Eq 'UND __stack_chk_fail' <<<"$syms" || fail "$rel" "no stack protector"
  grep -Eq 'UND __[a-z_]+_chk(@|$)' <<<"$syms" || fail "$rel" "no fortified calls"
  for lib in $libs; do
    if [[ $lib == !* ]]; then
      ! grep -Fq "[${lib#!}.so" <<<"$dyn" || fail "$rel" "${lib#!} is loaded at start"
    else
      grep -Fq "[$lib.so" <<<"$dyn" || fail "$rel" "$lib is not a shared dependency"
    fi
  done
  # A static copy defines the library's own entry points in the binary.
  awk '$7 != "UND" && $8 ~ /^(sqlite3_libversion|zlibVersion|OpenSSL_version|SSL_new)(@|$)/ { f = 1 }
       END { exit !f }' <<<"$syms" && fail "$rel" "carries a static copy of SQLite, zlib or OpenSSL"
done

# Our own objects: the static Crypto++ archive brings its own stack
# protector and fortified calls into tarnwick, so the compiler flags are
# also read from the objects compiled here. Each must carry the CET
# properties; the linker keeps them in an executable only when every input
# has them, which the C start files of the system decide.
mapfile -t objs < <(find "$tree" -name '*.cpp.o' -o -name '*.c.o')
((${#objs[@]} > 0)) || fail "$tree" "no object files"
no_cet=() ssp=0 fortify=0
for obj in "${objs[@]}"; do
  grep -q 'x86 feature: IBT, SHSTK' <<<"$(readelf -nW "$obj")" || no_cet+=("$obj")
  syms=$(readelf -sW "$obj")
  grep -q 'UND __stack_chk_fail$' <<<"$syms" && ssp=1
  grep -Eq 'UND __[a-z_]+_chk$' <<<"$syms" && fortify=1
done
((${#no_cet[@]} == 0)) || fail objects "${#no_cet[@]} compiled without CET (-fcf-protection), e.g. ${no_cet[0]}"
((ssp == 1)) || fail objects "compiled without a stack protector"
((fortify == 1)) || fail objects "compiled without FORTIFY"
if grep -q 'IBT, SHSTK' <<<"$(readelf -nW "$(${CXX:-c++} -print-file-name=Scrt1.o)")"; then
  for entry in "${binaries[@]}"; do
    read -r rel _ <<<"$entry"
    grep -q 'x86 feature: IBT, SHSTK' <<<"$(readelf -nW "$tree/$rel")" || fail "$rel" "no CET properties"
  done
fi
exit "$bad"
