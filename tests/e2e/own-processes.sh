# Sourced by the sound-server wrappers: signal only processes this shell started.

# True while process $1 is still one that this shell started. A process that has ended (the
# tests kill the server) frees its PID, and another process, not ours, may have it by now.
ours() {
  local stat ppid
  { stat=$(<"/proc/$1/stat"); } 2>/dev/null || return 1
  # Fields after the command name, which may hold spaces: state, parent PID, ...
  read -r _ ppid _ <<<"${stat##*) }"
  [[ $ppid == "$$" ]]
}

# Stops each given process that is still ours, in the order given (empty arguments are
# skipped); one that does not go within 2 s is killed outright.
stop_ours() {
  local pid
  for pid in "$@"; do
    [[ -n $pid ]] && ours "$pid" || continue
    kill "$pid" 2>/dev/null
    # A stopped process (a stalled-server test) takes the signal only once it runs again.
    kill -CONT "$pid" 2>/dev/null
    for _ in $(seq 20); do
      ours "$pid" || break
      sleep 0.1
    done
    ours "$pid" && kill -9 "$pid" 2>/dev/null
  done
}
