# Sourced by the test scripts: `stage NAME COMMAND...` runs COMMAND in this shell and, when it
# ends, prints "--- NAME: W s (CPU C s)" and appends "NAME|W|C" to $QUARNEL_STAGE_LOG (when set).
# W is the wall time; C is the CPU time (user + system) of every process the stage waited for,
# which a busy machine changes much less than W. The stage's exit status is COMMAND's.
quarnel_clock_ticks=$(getconf CLK_TCK)

# The CPU ticks of this shell's waited-for children: fields 16 and 17 of /proc/$$/stat.
quarnel_children_ticks() {
  local stat
  stat=$(</proc/$$/stat)
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  echo $((${14} + ${15}))
}

stage() {
  local name=$1 status=0 start ticks wall cpu
  shift
  start=$(date +%s%N)
  ticks=$(quarnel_children_ticks)
  "$@" || status=$?
  wall=$((($(date +%s%N) - start) / 1000000000))
  cpu=$((($(quarnel_children_ticks) - ticks) / quarnel_clock_ticks))
  echo "--- ${name}: ${wall} s (CPU ${cpu} s)$([ $status -eq 0 ] || echo ", exit status $status")"
  if [ -n "${QUARNEL_STAGE_LOG:-}" ]; then echo "${name}|${wall}|${cpu}" >>"$QUARNEL_STAGE_LOG"; fi
  return $status
}

# Uses ccache for every compile when it is installed (never required): a second run of the test
# command in the same folder then compiles only what changed. No CCACHE_BASEDIR: it would make
# the compiler's file names relative, which the fatal-error lines' file mapping cannot shorten.
quarnel_use_ccache() {
  if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
    # The tests' precompiled header: ccache caches its users only with these.
    export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
  fi
}
