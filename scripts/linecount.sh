#!/usr/bin/env bash
# Prints the non-blank line counts of the tests and of the program, and their
# ratio, over the git-tracked files:
#   tests    every file under tests/ and fuzz/ except the fuzz corpus
#   program  C, C++, Python and shell sources everywhere else, except under
#            tests/, fuzz/, bench/, scripts/, .ci/ and examples/
# Output: tests N  program N  ratio R
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Non-blank lines of the NUL-separated file names on standard input; binary
# files count nothing.
nonblank() { xargs -0 -r grep -Ivh '^[[:space:]]*$' | wc -l; }

tests=$(git ls-files -z -- tests/ fuzz/ ':!fuzz/corpus/' | nonblank)
program=$(git ls-files -z -- . ':!tests/' ':!fuzz/' ':!bench/' ':!scripts/' ':!.ci/' ':!examples/' |
          grep -zE '\.(cpp|cc|c|h|hpp|py|sh)$' | nonblank)
ratio=$(awk -v t="$tests" -v p="$program" 'BEGIN { printf "%.2f", p ? t / p : 0 }')
echo "tests $tests  program $program  ratio $ratio"
