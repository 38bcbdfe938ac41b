# What the three copy programs' parts share: the kernel's view of a
# descriptor's flags, read by fdmap, and what the writes cost, measured
# by iowatch.

# Runs a copy program fed through a FIFO, and while it waits for input
# shows the flags of descriptor fd; then feeds it one line. Sets sync to
# on or off, as the kernel has it.
watchflags() {
	local fd=$1 cmd=$2 pid row
	rm -f "$scratch/feed" && mkfifo "$scratch/feed"
	typed "$cmd < feed &"
	(cd "$scratch" && eval "exec $cmd < feed") &
	pid=$!
	exec 7>"$scratch/feed"
	waitread || true
	typed "fdmap --tsv $pid | cut -f 2,5,6 | grep -w ^$fd"
	# fd, flags in octal, flags by name: the description's, close-on-exec
	# apart.
	row=$(fdmap --tsv "$pid" | awk -F'\t' -v fd="$fd" '$2 == fd { print $2 "\t" $5 "\t" $6 }')
	printf '%s\n' "$row"
	case $row in *O_SYNC*) sync=on ;; *) sync=off ;; esac
	fact "descriptor $fd: ${row##*$'\t'}: O_SYNC is $sync"
	echo "copied while watched" >&7
	exec 7>&-
	wait "$pid"
}

# Copies the same 512 chunks of 512 bytes into an empty ./out under
# iowatch, each write timed by writetimes inside the program; keeps the
# figures as one row of the table in the summary, and draws the write
# times as a histogram.
measure() {
	local label=$1 cmd=$2 writes
	[ -f "$scratch/in" ] || head -c $((512 * 512)) /dev/zero >"$scratch/in"
	: >"$scratch/out"
	rm -f "$scratch/io" "$scratch/times"
	show "iowatch -o io out env LD_PRELOAD=libwritetimes.so WRITETIMES=times $cmd"
	if ! iofigures "$scratch/io"; then
		echo "tour: iowatch wrote no figures for $cmd" >&2
		return 1
	fi
	writes=${io_writes:--}
	# iowatch's own words for why it could not count them.
	[ -n "$io_writes" ] || echo "$io_why" >>"$scratch/nodevice"
	local per=-
	[ -z "$io_calls" ] || [ "$io_calls" = 0 ] ||
		per=$(awk -v ms="$io_ms" -v n="$io_calls" 'BEGIN { printf "%.3f", ms / n }')
	printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$sync" "${io_calls:--}" \
		"$io_ms" "$per" "$writes" >>"$scratch/copies"
	fact "O_SYNC $sync: ${io_calls:-?} write calls, $io_ms ms, $per ms a call; device writes meanwhile: $writes"
	show 'lathist times'
	pagelatency "$scratch/times" "$label" "$sync"
}

# The rows measure kept, side by side, and one sentence that reads them.
copytable() {
	echo "The same 256 KiB copied in 512-byte chunks:"
	awk -F'\t' 'BEGIN {
			printf "%-24s %-6s %11s %10s %10s %13s\n", "copy", "O_SYNC",
				"write calls", "time (ms)", "ms a call", "device writes"
		}
		{ printf "%-24s %-6s %11s %10s %10s %13s\n", $1, $2, $3, $4, $5, $6 }' "$scratch/copies"
	if [ -s "$scratch/nodevice" ]; then
		explain "No device writes could be counted: $(head -1 "$scratch/nodevice"). Where there is a device, the times still tell whether each write call waited for it."
		return
	fi
	awk -F'\t' '
		{ n[$2]++; calls[$2] += $3; ms[$2] += $4; writes[$2] += $6 }
		function half(s) {
			return sprintf("with O_SYNC %s, %.2f device writes and %.3f ms a write call",
				s, writes[s] / calls[s], ms[s] / calls[s])
		}
		END {
			for (s in n)
				if (!calls[s])
					exit # no count of write calls to divide by
			if (("on" in n) && ("off" in n))
				printf "Read it: %s; %s. Each synchronous write waited for the device; the others left their data in the page cache, for the kernel to write out later.\n", half("on"), half("off")
			else
				for (s in n) printf "Read it: %s.\n", half(s)
		}' "$scratch/copies" >"$scratch/readit"
	explain "$(cat "$scratch/readit")"
}

# The row measure kept last, in words.
lastrow() {
	tail -1 "$scratch/copies" | awk -F'\t' '{
		printf "%s write calls, %s ms, %s", $3, $4,
			$6 == "-" ? "device writes not counted" : $6 " device writes" }'
}
