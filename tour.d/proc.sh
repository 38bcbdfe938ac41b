# What a process is doing, as /proc tells it: for the tour and the labs.
# The shell reads /proc itself rather than start a program to read it:
# where Yama restricts ptrace (ptrace_scope 1, as on Ubuntu), only an
# ancestor of a process may read its /proc/PID/syscall.

# The state of process $1 (R, S, Z, ...), empty once it is gone.
pstate() {
	local s
	{ read -r s <"/proc/$1/stat"; } 2>/dev/null || return 0
	s=${s##*) }
	echo "${s%% *}"
}

# The system call process $1 is in, as /proc/PID/syscall has it: its
# number, then its arguments.
syscallof() { read -r REPLY <"/proc/$1/syscall" && echo "$REPLY"; }

# System calls by name: this machine's table, from sysname, read once.
declare -A callnames=()
loadcalls() {
	local n c
	while read -r n c; do
		callnames[$n]=$c
	done < <("$tools/sysname")
	[ ${#callnames[@]} -gt 0 ]
}

# Sets state and call: thread $1's state and the name of the system call
# it is in ("running" while it runs, empty once it is gone). Not in a
# subshell: the table is loaded once.
sample() {
	local s n
	state= call=
	[ ${#callnames[@]} -gt 0 ] || loadcalls
	{ read -r s <"/proc/$1/stat"; } 2>/dev/null || return 0
	s=${s##*) }
	state=${s%% *}
	{ read -r n _ <"/proc/$1/syscall"; } 2>/dev/null || return 0
	call=${callnames[$n]:-$n}
}

# The processor time process $1 has used, all its threads together, in
# ms; empty once it is gone.
cputime() {
	local s f
	{ read -r s <"/proc/$1/stat"; } 2>/dev/null || return 0
	read -r -a f <<<"${s##*) }"
	echo $(((f[11] + f[12]) * 1000 / $(getconf CLK_TCK)))
}

# Waits, 5 s at most, until process $pid, or one of its process group,
# blocks in read(0, ...) having read $1 bytes or more in all: by then it
# has set up its descriptors. Sets reader to that process and rchar to
# what it has read.
waitread() {
	local i f s g p c procs
	reader= rchar=0
	[ ${#callnames[@]} -gt 0 ] || loadcalls
	for ((i = 0; i < 100; i++)); do
		procs=("/proc/$pid/stat") g=
		{ read -r s <"/proc/$pid/stat"; } 2>/dev/null &&
			read -r _ _ g _ <<<"${s##*) }"
		[ "$g" != "$pid" ] || procs=(/proc/[0-9]*/stat)
		for f in "${procs[@]}"; do
			{ read -r s <"$f"; } 2>/dev/null || continue
			read -r _ _ g _ <<<"${s##*) }"
			p=${f#/proc/} p=${p%/stat}
			[ "$g" = "$pid" ] || [ "$p" = "$pid" ] || continue
			{ read -r c <"/proc/$p/syscall"; } 2>/dev/null || continue
			read -r c f _ <<<"$c"
			[ "${callnames[$c]:-}" = read ] && [ "$f" = 0x0 ] || continue
			rchar=$(sed -n 's/^rchar: //p' "/proc/$p/io" 2>/dev/null)
			[ "${rchar:-0}" -ge "${1:-0}" ] || continue
			reader=$p
			return 0
		done
		case $(pstate "$pid") in '' | Z) return 1 ;; esac
		sleep 0.05
	done
	return 1
}
