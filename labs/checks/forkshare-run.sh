# What both forkshare checks do first: wo.txt holds the alphabet in an
# order made up for the run, so that where a read's bytes lie tells where
# it read; ./exe1 is the project's own exe1, wrapped: once it has read, the
# wrapper has fdmap note the descriptors on wo.txt, its own and its
# waiting parent's. forkshare runs once under strace -ff, one trace file a
# process, read into calls.tsv.

need strace

# Sets text to wo.txt's content, parent and child to the pids of
# forkshare and of its child that became ./exe1, and fd to the number
# exe1 was handed; the reads each made, as words: childread, exe1read,
# parentread ("OFFSET BYTES", or empty). Fails, with the requirement $1
# unmet, where forkshare left no trace to read.
runforkshare() {
	text=$(printf '%s\n' {a..z} | shuf | tr -d '\n')
	printf %s "$text" >wo.txt
	{
		echo '#!/bin/bash'
		echo '# exe1 as the check runs it: the project'"'"'s own, then fdmap on the'
		echo '# descriptors on wo.txt of exe1 and of its waiting parent.'
		printf '( exec -a exe1 %q "$@" )\n' "$tools/exe1"
		echo 'status=$?'
		printf '%q --only wo.txt "$PPID" "$$" >exe1.figure 2>&1\n' "$tools/fdmap"
		printf '%q --tsv --only wo.txt "$PPID" "$$" >exe1.fds 2>&1\n' "$tools/fdmap"
		echo 'exit $status'
	} >exe1
	chmod +x exe1
	explain "wo.txt holds the alphabet in an order made up for this run: $text. ./exe1 runs the project's exe1, then has fdmap note the descriptors on wo.txt, its own and its parent's, while the parent waits for it. forkshare is stopped once more as it ends, for fdmap to show what it holds then."
	# stopatexit stops forkshare as it ends (and makes the file stopped):
	# its descriptors, its own and the shared, are still there to see.
	# strace's -q, not -qq: each trace ends with how its process ended.
	launch -o out -e err -S trace -s "strace -ff -o trace forkshare" -- "$strace" -ff -q -y -s 40 \
		-E LD_PRELOAD=libstopatexit.so -E LD_LIBRARY_PATH="$tools" \
		-E STOPATEXIT=forkshare -E STOPPED="$run/stopped" -o trace forkshare
	# Once forkshare itself has ended (tracee, as launch found it), strace
	# may still be tracing what it left behind: settle ends the run then.
	local i p=
	for ((i = 0; i < 500; i++)); do
		[ ! -e "$report.report" ] || break
		if [ -e stopped ] && [ -z "$p" ]; then
			p=$(atexit)
			if [ -n "$p" ]; then
				"$tools/fdmap" --only wo.txt "$p" >end.figure 2>&1
				kill -CONT "$p"
			fi
		fi
		[ -z "$tracee" ] || [ -n "$(pstate "$tracee")" ] || break
		sleep 0.02
	done
	settle
	shown out
	shown err
	readtrace calls.tsv trace.*
	here=$(pwd -P)
	parent=$(awk -F'\t' '$3 == "execve" && $8 ~ /forkshare"/ { print $1; exit }' calls.tsv)
	child=$(awk -F'\t' '$3 == "execve" && $8 ~ /^"\.\/exe1"/ { print $1; exit }' calls.tsv)
	exe1=$(awk -F'\t' -v e="$tools/exe1" '$3 == "execve" && index($8, "\"" e "\"") == 1 { print $1; exit }' calls.tsv)
	[ -n "$parent" ] || cannot "what forkshare did: strace left no trace of it"
	fd=$(awk -F'\t' -v c="$child" '$1 == c && $3 == "execve" { n = split($8, a, "\""); print a[6]; exit }' calls.tsv)
	childread=$(reads "$child" | head -1)
	exe1read=$(reads "$exe1" | head -1)
	parentread=$(reads "$parent" | tail -1)
	if [ -s exe1.figure ]; then
		explain "What forkshare and exe1 held on wo.txt while exe1 ran, as fdmap drew it:"
		typed "fdmap --only wo.txt (forkshare's pid) (exe1's pid)"
		sed 's/^/  /' exe1.figure
	fi
	if [ -s end.figure ]; then
		explain "And what forkshare held on wo.txt as it ended:"
		typed "fdmap --only wo.txt (forkshare's pid)"
		sed 's/^/  /' end.figure
	fi
	# exe1 read through a descriptor on wo.txt that the wrapper holds too:
	# fdmap must have seen it, or what it says of the others is no
	# evidence either.
	if [ -n "$exe1read" ] && [ -z "$(heldby "$child")" ]; then
		cannot "what exe1 and its parent held: fdmap noted no descriptor of exe1's on wo.txt, though exe1 read through one"
	fi
	return 0
}

# The reads on wo.txt by process $1, from the trace, one a line: the
# offset its bytes lie at in wo.txt, then the bytes ("? " where they are
# nowhere in it).
reads() {
	[ -n "$1" ] || return 0
	traceawk -v p="$1" -v wo="$here/wo.txt" -v text="$text" '
		$1 == p && $3 ~ reads && $7 == wo && $4 ~ /^[0-9]+$/ {
			d = $8; sub(/^[^"]*"/, "", d); sub(/".*/, "", d)
			at = index(text, d)
			print (d == "" ? 0 : at ? at - 1 : "?"), d
		}' calls.tsv
}

# The host's pid of forkshare, stopped by stopatexit as it ends: of the
# run's session, named forkshare, and stopped.
atexit() {
	local f s
	for f in /proc/[0-9]*/stat; do
		{ read -r s <"$f"; } 2>/dev/null || continue
		[[ $s == *" (forkshare) "[tT]" "* ]] || continue
		read -r _ _ _ g _ <<<"${s##*) }"
		[ "$g" = "$pid" ] || continue
		f=${f#/proc/}
		echo "${f%/stat}"
		return
	done
}

# exe1.fds's rows of process $1 (as fdmap saw it, inside the run), with
# no header.
heldby() { awk -F'\t' -v p="$1" 'NR > 1 && $1 == p' exe1.fds; }

# The pid fdmap gave the parent and exe1: the wrapper's own pid is the
# second row's pid where it holds anything, and $PPID the first.
notedpids() {
	awk -F'\t' 'NR == 1 { next } !seen[$1]++ { print $1 }' exe1.fds
}

# A read as reads gives it ("OFFSET BYTES"), in words.
inwords() {
	if [ -z "$1" ]; then
		echo "nothing from wo.txt"
	else
		echo "${1#* } from offset ${1%% *}"
	fi
}

# The child's byte from offset 0, then exe1's three from offset 1, as
# the trace shows them, under requirement $1.
childandexe1() {
	if [ "${childread%% *}" = 0 ] && [ "${exe1read%% *}" = 1 ] &&
		[ "${#exe1read}" = 5 ]; then
		met "$1" "the child read ${childread#* } from offset 0, then exe1 ${exe1read#* } from offset 1"
	else
		unmet "$1" "the child read $(inwords "$childread"); exe1 read $(inwords "$exe1read")$(grep -m1 '^exe1: read:' out | sed 's/^/: /')"
	fi
}
