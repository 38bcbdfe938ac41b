# What every exercise's check uses. A learner's code is untrusted: it may
# not build, may crash, hang, spin or fork without end, or leave processes
# and windows behind. So it is built from a copy, run in a scratch
# directory of its own under build/lab/NAME/, bounded in time, and its
# whole process group is ended after every run.
#
# A check, labs/checks/NAME.sh, defines checkit. It runs in $run, with
# the learner's programs and the project's tools on PATH, and may use:
#   $src   a copy of labs/NAME/ (the learner's files stay untouched)
#   $bin   where the learner's programs were built
#   $run   the scratch directory, empty at the start
#   $tools the project's own programs (iowatch, exe1, firstwin, ...)
# and the functions below: launch/settle/bounded to run, seen to show a
# piece of evidence, unmet to record what is not yet right.
# Build experiments that change a source do it on a copy under $run:
# $src keeps the learner's times, so that only what changed is rebuilt.

unmet=()
pids=()
pid=
status=
ended=

# One piece of evidence, as measured.
seen() { fact "$*"; }
# A requirement not met: what the task asks, and what the check found.
unmet() { unmet+=("expected $1"$'\n'"  found: $2"); }

# How many processes other than its leader are in process group $1.
members() {
	local f s n=0 pg
	for f in /proc/[0-9]*/stat; do
		[ "$f" != "/proc/$1/stat" ] || continue
		{ read -r s <"$f"; } 2>/dev/null || continue
		read -r _ _ pg _ <<<"${s##*) }"
		[ "$pg" != "$1" ] || n=$((n + 1))
	done
	echo "$n"
}

# Ends process group $1 and whatever is left in it.
endgroup() {
	local i
	for i in $(seq 20); do
		kill -KILL -- "-$1" 2>/dev/null || return 0
		sleep 0.05
	done
}

# Starts a command line in the scratch directory, in a session (and so a
# process group) of its own, and shows it as typed. Sets pid. The number
# of processes it may make is bounded where the kernel bounds it for us
# (not for root).
launch() {
	typed "$1"
	local all=(/proc/[0-9]*)
	local room=$((${#all[@]} + 256))
	setsid bash -c 'ulimit -S -u "$1" 2>/dev/null; cd "$2" && eval "exec $3"' \
		lab "$room" "$run" "$1" &
	pid=$!
	pids+=("$pid")
}

# Waits at most $1 seconds for what launch started to end, then ends its
# process group. Sets status and ended, how it ended in words. The shell's
# own notice of a job a signal ended ("Aborted ...") is left out: ended
# says it.
settle() {
	settlein "$@" 2>/dev/null
}
settlein() {
	local limit=$1 i left
	for ((i = 0; i < limit * 20; i++)); do
		case $(pstate "$pid") in '' | Z) break ;; esac
		sleep 0.05
	done
	case $(pstate "$pid") in
	'' | Z) ended= ;;
	*) ended="did not finish in $limit s" ;;
	esac
	left=$(members "$pid")
	endgroup "$pid"
	status=0
	wait "$pid" 2>/dev/null || status=$?
	if [ -z "$ended" ]; then
		if [ "$status" -gt 128 ]; then
			ended="was killed by SIG$(kill -l $((status - 128)))"
		else
			ended="exited with status $status"
		fi
	fi
	[ "$left" -le 0 ] || ended+=" and left $left processes behind, now ended"
	seen "it $ended"
}

# In words, how file $2 differs from file $1, which it should equal;
# nothing when they are alike. $3 says what $1 is ("of in" by default).
differs() {
	local a b at what=${3:-"of $1"}
	a=$(stat -c %s "$1")
	b=$(stat -c %s "$2" 2>/dev/null) || { echo "there is no $2"; return; }
	at=$(cmp "$1" "$2" 2>/dev/null | sed -n 's/.* differ: [a-z]* \([0-9]*\),.*/\1/p')
	if [ -n "$at" ]; then
		echo "$2 holds $b bytes, and from byte $at on not those $what"
	elif [ "$b" -lt "$a" ]; then
		echo "$2 holds only the first $b of the $a bytes $what"
	elif [ "$b" -gt "$a" ]; then
		echo "$2 holds the $a bytes $what, then $((b - a)) more"
	fi
}

# The flags of each descriptor that process $reader has open on file $1,
# shown as fdinfo has them, and kept in fds as "FD:FLAGS" words.
flagson() {
	local fd flags
	fds=
	for fd in /proc/"$reader"/fd/*; do
		[ "$(readlink "$fd")" = "$1" ] || continue
		fd=${fd##*/}
		flags=$(awk '$1 == "flags:" { print $2 }' "/proc/$reader/fdinfo/$fd")
		typed "grep flags /proc/$reader/fdinfo/$fd"
		printf 'flags:\t%s\n' "$flags"
		seen "descriptor $fd, open on ./${1##*/}: $(flagnames "$flags")"
		fds+=" $fd:$flags"
	done
}

# A command line run to its end, bounded: launch, then settle.
bounded() {
	launch "$2"
	settle "$1"
}

# Everything a check started, ended: at the end of every check, whatever
# way it ends.
cleanup() {
	local p
	for p in "${pids[@]}"; do
		endgroup "$p"
	done
	# The display too, and waited for: it works in the scratch directory.
	if [ -n "$xpid" ]; then
		kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null
		xpid=
	fi
	return 0
}

# The learner's code, copied and built apart under build/lab/NAME/build.
# Only what changed is rebuilt. On failure the compiler's own words are
# shown, and that is the verdict.
buildit() {
	local log=$work/build.log
	rm -rf "$src"
	cp -a "$top/labs/$name" "$src"
	if [ ! -f "$bin/CMakeCache.txt" ] &&
		! cmake -S "$src" -B "$bin" >"$log" 2>&1; then
		cat "$log"
		rm -rf "$bin"
		verdict "it to configure with cmake" "cmake failed, as shown above"
	fi
	if ! cmake --build "$bin" -j"$(nproc)" >"$log" 2>&1; then
		grep -v -e '^gmake' -e '^make' -e '^\[' "$log" || true
		verdict "your code to build" "the compiler's errors above"
	fi
	# Warnings are worth reading even when the build succeeds.
	grep -A3 'warning:' "$log" || true
}

# Ends the check: solved if nothing was unmet, else what was expected and
# found. Keeps the verdict for the list.
verdict() {
	[ $# -eq 0 ] || unmet "$1" "$2"
	cleanup
	if [ ${#unmet[@]} -eq 0 ]; then
		echo solved >"$work/verdict"
		printf '\n%ssolved%s: %s\n' "$bold" "$off" "$(title "$name")"
		echo "Compare with the reference solution: labs/solutions/$name/"
		exit 0
	fi
	echo unsolved >"$work/verdict"
	printf '\n%snot solved yet%s:\n' "$bold" "$off"
	local u
	for u in "${unmet[@]}"; do
		echo "- $u"
	done
	echo "The hint: bash lab hint $name. The check's files are in $run."
	exit 1
}

# lab check NAME.
check() {
	name=$1
	work=$top/build/lab/$name
	src=$work/src bin=$work/build run=$work/run
	if [ -z "$tools" ]; then
		tools=$top/build/bin
		if [ ! -x "$tools/iowatch" ]; then
			echo "${bold}Setting up: packages and build (once)${off}"
			bash "$top/setup"
		fi
	fi
	mkdir -p "$work"
	trap cleanup EXIT
	heading "checking $name: $(title "$name")"
	buildit
	rm -rf "$run"
	mkdir -m 700 -p "$run"
	scratch=$run
	cd "$run"
	PATH=$bin:$tools:$PATH
	source "$top/labs/checks/$name.sh"
	# The learner's code failing is what a check looks at, not a fault of
	# the check's: each command's status is its to judge.
	set +eE
	trap - ERR
	checkit
	verdict
}
