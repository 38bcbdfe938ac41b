# oflagcopy-bigwrites: ./out keeps O_SYNC, and a copy from a file takes
# 65536 bytes a write; from a pipe every byte still arrives, in order, in
# writes no larger; the rest as before.

big=65536

req sync "./out keeps O_SYNC: every descriptor open on ./out has it while it copies"
req size "from a regular file, every write to ./out but the last carries $big bytes, and the last what is left"
req pipe "from a pipe, every byte reaches ./out once and in order, in writes of at most $big bytes"
req notrunc "./out is written from its start and not truncated: what lies past the copy stays"
req exists "./out must exist: with none, it ends with status 1 and makes none, as before"
req status "exit status 0"

need strace env

# The bytes each write call to ./out carried, in order, one a line, from
# the trace.
writesto() {
	readtrace calls.tsv trace
	traceawk -v out="$here/out" '$3 ~ writes && $7 == out { print $4 }' calls.tsv
}

# Sizes one a line, said as runs: "16 of 65536 bytes, then 1 of 100".
runs() {
	awk '$1 != last && n { s = s sep n " of " last; sep = ", then "; n = 0 }
		{ last = $1; n++ }
		END { print n ? s sep n " of " last " bytes" : "no write" }'
}

# ./out as it must be after a copy of the file $1: that file's bytes,
# then what ./out held past them, kept.
afterwards() {
	local n
	n=$(stat -c %s "$1")
	{ cat "$1"; tail -c +$((n + 1)) old; } >want
	d=$(differs want out "expected")
}

# Copies the file $1 into a ./out that holds more old bytes than it, under
# strace.
fromfile() {
	local n sizes last rest d
	n=$(stat -c %s "$1")
	cp old out
	bounded -t 20 -i "$1" -S trace -s "strace -y -e trace=write oflagcopy" -- \
		"$strace" -f -y -q -s 0 -o trace -e trace="$writecalls" oflagcopy
	if [ "$status" = 0 ]; then met status; else unmet status "oflagcopy < $1: it $ended"; fi
	sizes=$(writesto)
	seen "oflagcopy < $1 ($n bytes): $(printf '%s\n' "$sizes" | grep . | runs)"
	# All but the last carry 65536 bytes, the last what is left: nothing
	# at all from an empty file.
	last=$(printf '%s\n' "$sizes" | grep . | tail -1)
	rest=$(printf '%s\n' "$sizes" | grep . | sed '$d' | grep -vcx "$big")
	if [ "$n" -gt 0 ] && [ -z "$sizes" ]; then
		unmet size "oflagcopy < $1: no write to ./out"
	elif [ "$rest" -gt 0 ] || [ "${last:-0}" -gt "$big" ] ||
		[ "$(printf '%s\n' "$sizes" | awk '{ s += $1 } END { print s + 0 }')" != "$n" ]; then
		unmet size "oflagcopy < $1, $n bytes: $(printf '%s\n' "$sizes" | grep . | runs)" \
			"from $1, $(awk -v n="$n" -v b="$big" 'BEGIN {
				f = int(n / b); r = n % b
				if (n == 0) print "no write"
				else if (r == 0) print f " write" (f > 1 ? "s" : "") " of " b " bytes"
				else print (f ? f " write" (f > 1 ? "s" : "") " of " b " bytes, then " : "") "1 of " r }')"
	else
		met size
	fi
	afterwards "$1"
	if [ -z "$d" ]; then
		met notrunc "./out: the $n bytes of $1, then the $(($(stat -c %s old) - n)) old bytes past them"
	else
		unmet notrunc "after oflagcopy < $1: $d"
	fi
}

# Copies pin through a FIFO, under strace: a first piece of 1000 bytes,
# which a read of 64 KiB meets alone, then the rest, larger than a pipe
# holds. The descriptors on ./out are read while it waits for the rest.
frompipe() {
	local sizes d over
	cp old out
	rm -f feed && mkfifo feed
	exec 7<>feed
	launch -t 20 -i feed -S trace -s "strace -y -e trace=write oflagcopy" -- \
		"$strace" -f -y -q -s 0 -o trace -e trace="$writecalls" oflagcopy
	typed "head -c 1000 pin > feed"
	head -c 1000 pin >&7
	if waitread 1000; then
		typed "fdmap --only out $reader"
		"$tools/fdmap" --only out "$reader" 2>&1 | sed 's/^/  /'
		readfds fds.tsv --only out "$reader"
		if [ ! -s fds.tsv ]; then
			unmet sync "no descriptor open on ./out while it copies"
		fi
		local fd names
		while IFS=$'\t' read -r _ fd _ _ _ names _; do
			if [[ $names == *O_SYNC* ]]; then
				met sync "descriptor $fd, open on ./out: $names"
			else
				unmet sync "descriptor $fd: $names"
			fi
		done <fds.tsv
	else
		unmet sync "it did not come back to read(0, ...) having read those 1000 bytes: it $(case $(pstate "$pid") in '' | Z) echo had ended ;; *) echo "was elsewhere" ;; esac)"
	fi
	typed "tail -c +1001 pin > feed"
	# More than a pipe holds: written aside, so that the check goes on
	# whatever the copy does; its end of the FIFO closed, so that the
	# feeder's end is the last.
	tail -c +1001 pin >&7 &
	local feeder=$!
	exec 7>&-
	settle
	kill "$feeder" 2>/dev/null
	wait "$feeder" 2>/dev/null
	if [ "$status" = 0 ]; then met status; else unmet status "oflagcopy < feed: it $ended"; fi
	sizes=$(writesto)
	seen "oflagcopy < feed: $(printf '%s\n' "$sizes" | grep . | runs)"
	over=$(printf '%s\n' "$sizes" | awk -v b="$big" '$1 > b' | wc -l)
	afterwards pin
	if [ -z "$d" ] && [ "$over" = 0 ]; then
		met pipe "./out holds the $(stat -c %s pin) bytes that came through the pipe, in order, then the old ones past them"
	elif [ -n "$d" ]; then
		unmet pipe "$d"
	else
		unmet pipe "$over writes of more than $big bytes"
	fi
}

checkit() {
	here=$(pwd -P)
	head -c $((4 * big + 100)) /dev/urandom >in
	head -c $((2 * big)) /dev/urandom >in.exact
	head -c 1000 /dev/urandom >in.small
	: >in.empty
	head -c $((1000 + big + 37 + big)) /dev/urandom >pin
	# ./out holds more than any copy writes, to show what is kept.
	head -c $((4 * big + 100 + 5000)) /dev/urandom >old
	explain "Inputs made for this run, random: in ($(stat -c %s in) bytes, 256 KiB and 100), in.exact (128 KiB), in.small (1000), in.empty (none), and pin ($(stat -c %s pin)) for the pipe. Each time ./out first holds $(stat -c %s old) old bytes."
	fromfile in
	fromfile in.exact
	fromfile in.small
	fromfile in.empty
	frompipe

	rm -f out
	explain "Now with no ./out at all: oflagcopy opens it without creating it, and must end as it always did."
	bounded -i in.small -e err -- oflagcopy
	shown err
	if [ -e out ]; then
		unmet exists "it made a ./out of $(stat -c %s out) bytes, and $ended"
	elif [ "$status" != 1 ]; then
		unmet exists "it $ended"
	else
		met exists "it ended with status 1 and made no ./out, as before"
	fi

	explain "What a byte costs, shown, not judged: your copy and the project's own oflagcopy, 512 bytes a write, on the first 256 KiB of in, under iowatch, each write timed inside the program by writetimes. Both vary with what else the machine is writing meanwhile."
	head -c $((4 * big)) in >in256
	local mine theirs prog shown
	for who in yours project; do
		cp old out
		rm -f io "times.$who"
		prog=oflagcopy shown=oflagcopy
		if [ "$who" = project ]; then
			prog=$tools/oflagcopy
			shown=$(realpath -s --relative-to="$run" "$prog")
		fi
		bounded -t 20 -i in256 \
			-s "iowatch -o io out env LD_PRELOAD=libwritetimes.so WRITETIMES=times.$who $shown" -- \
			"$tools/iowatch" -o "$run/io" out "$env" LD_PRELOAD=libwritetimes.so \
			LD_LIBRARY_PATH="$tools" WRITETIMES="$run/times.$who" "$prog"
		iofigures io || cannot "what a byte costs: iowatch wrote no figures"
		seen "$who: ${io_calls:-?} write calls in $io_ms ms; device writes meanwhile: ${io_writes:-not counted: $io_why}"
		[ "$who" = yours ] && mine=$io_ms || theirs=$io_ms
		typed "lathist times.$who"
		# Shown, not judged: writetimes times write(2) alone, and an
		# answer may write with writev or pwrite.
		"$tools/lathist" "times.$who" >"hist.$who" 2>&1 ||
			echo "no write(2) of its was timed" >>"hist.$who"
		sed 's/^/  /' "hist.$who"
	done
	if [ -n "$mine" ] && [ -n "$theirs" ] && [ "$theirs" != 0.0 ]; then
		seen "yours took $(awk -v a="$mine" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }') times as long as the project's oflagcopy"
	fi
}
