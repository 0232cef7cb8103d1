#!/bin/bash
# The agent's one thread never waits for a peer: no nested event loop, blocking D-Bus call or
# blocking wait on a reply or a process in the agent's own code (tests and stand-ins may). And
# no coroutine shape that GCC 12 miscompiles: an awaited value used inside a larger expression
# ("(co_await f()).x", "!co_await f()", "co_return co_await f()", "a && co_await f()") is
# named first. Prints each offending line; exits 1 when there is one.
set -uo pipefail
cd "$(dirname "$0")/.."
dirs=(runtime session daemon policy utils tasks notify remoteassist)
patterns=(
  'QEventLoop'
  'processEvents'
  'QCoro::waitFor'
  'QDBus::Block'
  'callWithArgumentList'
  '[.>]call\('
  '[^)]\.waitFor(Started|Finished|ReadyRead|BytesWritten)\('
  '->waitFor(Started|Finished|ReadyRead|BytesWritten)\('
  '\(co_await'
  '!\s*co_await'
  'co_return co_await'
  '(&&|\|\||\?)\s*co_await'
  '[,(]\s*co_await\s'
)
status=0
for pattern in "${patterns[@]}"; do
  if grep -rnE --include="*.cpp" --include="*.h" -e "$pattern" "${dirs[@]}" | grep -vE '^\S+:\s*//'; then
    status=1
  fi
done
# The event loop itself runs once, in main.
if grep -rnE --include='*.cpp' '\.exec\(\)' "${dirs[@]}" | grep -v '^runtime/main.cpp:.*app\.exec()'; then
  status=1
fi
[ "$status" = 0 ] || echo "the lines above wait for a peer with the thread, or await in a shape GCC 12 miscompiles" >&2
exit "$status"
