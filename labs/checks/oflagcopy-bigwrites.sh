# oflagcopy-bigwrites: ./out keeps O_SYNC, and a copy from a file takes
# 65536 bytes a write; from a pipe every byte still arrives, in order.

big=65536

# The bytes each write call to the file $1 carried, in the order of the
# calls, one a line. strace -y names the file behind each descriptor.
writesto() {
	sed -n -E "s#^([0-9]+ +)?(write|writev|pwrite64|pwritev2?)\\([0-9]+<$1>, .*\\) *= *([0-9]+)\$#\\3#p" trace
}

# Sizes one a line, said as runs: "16 of 65536 bytes, then 1 of 100".
runs() {
	awk '$1 != last && n { s = s sep n " of " last; sep = ", then "; n = 0 }
		{ last = $1; n++ }
		END { print n ? s sep n " of " last " bytes" : "none" }'
}

# Runs $2 (a command line) under iowatch and strace, tracing its writes
# into the file trace: strace stops it at each write, which costs little
# beside a synchronous write. Sets sizes (the bytes each write to ./out
# carried), ms and writes (the device's, or empty where not counted).
traced() {
	: >out
	bounded 20 "iowatch out strace -f -y -qq -s 0 -o trace -e trace=write,writev,pwrite64,pwritev $2 2> said"
	[ "$status" -eq 0 ] || unmet "$2 to exit with status 0" "it $ended"
	sizes=$(writesto "$here/out")
	calls=$(printf '%s' "$sizes" | grep -c .)
	ms=$(sed -n 's/^iowatch: .* \(in\|ran\) \([0-9.]*\) ms.*/\2/p' said)
	writes=$(sed -n 's/.*, which completed \([0-9]*\) writes meanwhile$/\1/p' said)
	if [ -z "$writes" ]; then
		# iowatch's own words for why it could not count them.
		sed -n 's/^iowatch: \(.* is on .*\)$/\1/p' said >nodevice
	fi
	seen "$1: $calls writes to ./out: $(printf '%s\n' "$sizes" | runs)"
	bytes=$(stat -c %s out)
	permib=$(awk -v ms="${ms:-0}" -v b="$bytes" 'BEGIN { printf "%.1f", ms * 1048576 / (b ? b : 1) }')
	seen "$1: $bytes bytes in ${ms:-?} ms, $permib ms a MiB; device writes meanwhile: ${writes:-not counted}"
}

# Copies in: how many bytes each write to ./out carried, and what ./out
# holds.
fromfile() {
	local rest d
	traced yours "oflagcopy < in"
	# All but the last carry 65536 bytes; the last whatever is left.
	rest=$(printf '%s\n' "$sizes" | sed '$d' | grep -vcx "$big")
	if [ "$calls" -eq 0 ]; then
		unmet "oflagcopy < in to write to ./out" "no write call to ./out in the trace"
	elif [ "$rest" -gt 0 ] || [ "$(printf '%s\n' "$sizes" | tail -1)" -gt "$big" ]; then
		unmet "each write to ./out but the last to carry $big bytes, from a file of $size bytes" \
			"$calls writes: $(printf '%s\n' "$sizes" | runs)"
	fi
	d=$(differs in ./out)
	if [ -z "$d" ]; then
		seen "./out holds the $size bytes of in, in order"
	else
		unmet "./out to hold exactly the $size bytes of in" "$d"
	fi
}

# Copies pin through a FIFO: a first piece of 1000 bytes, which a read of
# 64 KiB meets alone, then the rest. The flags of each descriptor open on
# ./out are read while it waits for the rest.
frompipe() {
	local fd fds= flags
	: >out
	rm -f feed && mkfifo feed
	launch "oflagcopy < feed"
	exec 7>feed
	waitread 0
	typed "head -c 1000 pin > feed"
	head -c 1000 pin >&7
	if ! waitread $((rchar + 1000)); then
		explain "It did not come back to read(0, ...) having read those 1000 bytes: the flags are those it has now."
	fi
	for fd in /proc/$pid/fd/*; do
		[ "$(readlink "$fd")" = "$here/out" ] && fds+=" ${fd##*/}"
	done
	if [ -z "$fds" ]; then
		case $(pstate "$pid") in
		'' | Z) unmet "a descriptor open on ./out while it copies" "none: it had ended" ;;
		*) unmet "a descriptor open on ./out while it copies" "none" ;;
		esac
	fi
	for fd in $fds; do
		flags=$(awk '$1 == "flags:" { print $2 }' /proc/$pid/fdinfo/$fd)
		typed "grep flags /proc/$pid/fdinfo/$fd"
		printf 'flags:\t%s\n' "$flags"
		seen "descriptor $fd, open on ./out: $(flagnames "$flags")"
		(((8#$flags & 8#4010000) == 8#4010000)) ||
			unmet "O_SYNC on every descriptor open on ./out while it copies" \
				"descriptor $fd: $(flagnames "$flags")"
	done
	typed "tail -c +1001 pin > feed"
	timeout 10 tail -c +1001 pin >&7
	exec 7>&-
	settle 20
	[ "$status" -eq 0 ] || unmet "oflagcopy < feed to exit with status 0" "it $ended"
	local d; d=$(differs pin ./out)
	if [ -z "$d" ]; then
		seen "./out holds the $(stat -c %s pin) bytes that came through the pipe, in order"
	else
		unmet "./out to hold exactly what came through the pipe, the $(stat -c %s pin) bytes of pin" "$d"
	fi
}

checkit() {
	here=$(pwd -P)
	size=$((4 * big + 100))
	head -c $size /dev/urandom >in
	head -c $((1000 + big + 37)) /dev/urandom >pin
	explain "in: $size bytes, 256 KiB and 100; pin: $(stat -c %s pin) bytes, for the pipe. Both are random, made for this run."
	fromfile
	local mine=$permib
	frompipe
	explain "What a byte costs, shown, not judged: the project's own oflagcopy, 512 bytes a write, on the first 256 KiB of in. Both times vary with what else the machine is writing meanwhile."
	head -c $((4 * big)) in >in256
	traced "the project's oflagcopy" "$tools/oflagcopy < in256"
	if [ -s nodevice ]; then
		explain "No device writes could be counted: $(head -1 nodevice). The check decides by the writes' sizes, the flags and what ./out holds all the same."
	fi
	if [ -n "$ms" ] && [ "$permib" != 0.0 ]; then
		seen "a MiB took yours $(awk -v a="$mine" -v r="$permib" 'BEGIN { printf "%.2f", a / r }') times as long as the project's oflagcopy"
	fi
}
