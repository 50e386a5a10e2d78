#!/usr/bin/env bash
# Ending what a lab started, for the lab scripts (source this file). A lab process is ended by
# its own PID, never by name; and before a lab's namespaces are deleted, any process still
# inside one of them is found by the namespace itself, so that a process the script lost track
# of (a server started from a backgrounded shell function, whose $! is the subshell) is
# reported instead of silently keeping a deleted namespace alive.

# How long a stopped process gets to end on SIGTERM before SIGKILL (tenths of a second).
LAB_STOP_POLLS=50
# How long processes in a lab's namespaces get to finish exiting (they may be on their way
# out after their parent died) before they count as left running (tenths of a second).
LAB_LEFTOVER_POLLS=20

# lab_stop_pids PID...: SIGTERM to each of our own PIDs, SIGKILL to those still running after
# 5 s, then reaps them. PIDs must be children of this shell.
lab_stop_pids() {
  local pid i alive
  (($#)) || return 0
  kill -TERM "$@" 2>/dev/null
  for ((i = 0; i < LAB_STOP_POLLS; i++)); do
    alive=0
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    ((alive)) || break
    sleep 0.1
  done
  for pid in "$@"; do kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null; done
  for pid in "$@"; do wait "$pid" 2>/dev/null; done
  return 0
}

# lab_netns_ids NAME...: the kernel's id (the nsfs inode number) of each named network namespace.
lab_netns_ids() {
  local name
  for name in "$@"; do
    [[ -e /run/netns/$name ]] && stat -L -c '%i' "/run/netns/$name" 2>/dev/null
  done
  return 0
}

# lab_processes_in ID...: "PID NAME" of every process whose network namespace is one of these.
# One stat over all processes: a program per process would take seconds on a busy machine.
lab_processes_in() {
  local inode path pid id
  (($#)) || return 0
  while read -r inode path; do
    for id in "$@"; do
      [[ $inode == "$id" ]] || continue
      pid=${path#/proc/}
      pid=${pid%%/*}
      echo "$pid $(cat "/proc/$pid/comm" 2>/dev/null)"
      break
    done
  done < <(stat -L -c '%i %n' /proc/[0-9]*/ns/net 2>/dev/null)
}

# lab_reap_namespaces NAME...: checks that no process is left in these network namespaces
# (ours), then deletes them and checks that none of the names remains. The check runs while
# the names still hold the namespaces: a deleted namespace's id can be reused at once by a
# namespace someone else makes, so no process is ever judged by the id of a deleted one.
# Leftovers are reported on stderr and ended by PID (only this lab runs anything in its
# namespaces); returns 1 then.
lab_reap_namespaces() {
  local ids name i left="" pid ok=0
  mapfile -t ids < <(lab_netns_ids "$@")
  for ((i = 0; i < LAB_LEFTOVER_POLLS; i++)); do
    left=$(lab_processes_in "${ids[@]}")
    [[ -z $left ]] && break
    sleep 0.1
  done
  if [[ -n $left ]]; then
    echo "lab: left running in the lab's namespaces (now killed):" >&2
    sed 's/^/lab:   pid /' <<<"$left" >&2
    while read -r pid _; do kill -KILL "$pid" 2>/dev/null; done <<<"$left"
    # Until they are gone the namespaces stay ours, and their ids with them.
    for ((i = 0; i < LAB_LEFTOVER_POLLS; i++)); do
      [[ -z $(lab_processes_in "${ids[@]}") ]] && break
      sleep 0.1
    done
    ok=1
  fi
  for name in "$@"; do ip netns del "$name" 2>/dev/null; done
  for name in "$@"; do
    [[ -e /run/netns/$name ]] && { echo "lab: network namespace $name is left" >&2; ok=1; }
  done
  return $ok
}
