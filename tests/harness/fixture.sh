# Sourced by the fixture scripts, NAMEctl.sh COMMAND ENVDIR ... (pgctl.sh,
# bouncerctl.sh, cupsctl.sh), whose setups write ENVDIR/NAME.env.
. "$(dirname "${BASH_SOURCE[0]}")/syspath.sh"
cmd=${1:?command}
envdir=${2:?env directory}
envfile="$envdir/$(basename "$0" ctl.sh).env"

# As root the servers run as user postgres (initdb and PgBouncer refuse root).
as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

# Exports the KEY=VALUE lines a setup wrote.
load() { # FILE
  [ -f "$1" ] || { echo "$(basename "$0"): no $1 (not set up)" >&2; exit 1; }
  # shellcheck disable=SC1090
  set -a; . "$1"; set +a
}

# Writes standard input to the env file in one step, readable by its owner
# alone (it may hold a password).
write_env() { install -m 600 /dev/null "$envfile.tmp"; cat >"$envfile.tmp"; mv "$envfile.tmp" "$envfile"; }

listening() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; } # ADDRESS PORT

# Runs COMMAND every 50 ms until it succeeds, TRIES times at most.
wait_for() { # TRIES COMMAND...
  local tries=$1
  shift
  for _ in $(seq 1 "$tries"); do "$@" && return 0; sleep 0.05; done
  return 1
}

# Whether process $1 is ours: its command line names state directory $2, so
# a recycled pid is never hit.
owned() { [ -n "$1" ] && tr '\0' ' ' 2>/dev/null < "/proc/$1/cmdline" | grep -qF -- "$2/"; }
gone() { ! owned "$@"; }

# Ends the server of pid file $1 while it is ours (state directory $2): TERM,
# then, after 10 s, KILL for it and its session (a scheduler's backends).
stop_owned() { # PIDFILE STATEDIR
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 0
  owned "$pid" "$2" && kill -TERM "$pid" 2>/dev/null || return 0
  wait_for 200 gone "$pid" "$2" && return 0
  kill -KILL "$pid" $(ps -o pid= -s "$pid" 2>/dev/null) 2>/dev/null || true
  wait_for 100 gone "$pid" "$2" || true
}
