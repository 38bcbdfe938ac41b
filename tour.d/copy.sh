# What the three copy programs' parts share: the kernel's view of a
# descriptor's flags, and what the writes cost, measured with iowatch.

# The status flags /proc/PID/fdinfo shows, in octal, by name.
flagnames() {
	local f=$((8#$1)) n
	case $((f & 3)) in 0) n=O_RDONLY ;; 1) n=O_WRONLY ;; *) n=O_RDWR ;; esac
	((f & 8#2000)) && n+="|O_APPEND"
	((f & 8#4000)) && n+="|O_NONBLOCK"
	((f & 8#20000)) && n+="|O_ASYNC"
	((f & 8#40000)) && n+="|O_DIRECT"
	if (((f & 8#4010000) == 8#4010000)); then n+="|O_SYNC"
	elif ((f & 8#10000)); then n+="|O_DSYNC"; fi
	((f & 8#100000)) && n+="|O_LARGEFILE"
	((f & 8#1000000)) && n+="|O_NOATIME"
	((f & 8#2000000)) && n+="|O_CLOEXEC"
	echo "$n"
}

# Waits, 5 s at most, until process $pid, or where it leads a process
# group one of the group, blocks in read(0, ...) having read $1 bytes or
# more in all: by then it has set up its descriptors. Sets reader to that
# process and rchar to what it has read. The shell reads /proc itself:
# Yama may let only an ancestor of the process see /proc/PID/syscall.
waitread() {
	local i f s g p c procs
	reader= rchar=0
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
			case $c in "0 0x0 "*) ;; *) continue ;; esac
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

# Runs a copy program fed through a FIFO, and while it waits for input
# shows the flags of descriptor fd; then feeds it one line. Sets sync to
# on or off, as the kernel has it.
watchflags() {
	local fd=$1 cmd=$2 pid flags
	rm -f "$scratch/feed" && mkfifo "$scratch/feed"
	typed "$cmd < feed &"
	(cd "$scratch" && eval "exec $cmd < feed") &
	pid=$!
	exec 7>"$scratch/feed"
	waitread || true
	flags=$(awk '$1 == "flags:" { print $2 }' /proc/$pid/fdinfo/$fd)
	typed "grep flags /proc/$pid/fdinfo/$fd"
	printf 'flags:\t%s\n' "$flags"
	if (((8#$flags & 8#4010000) == 8#4010000)); then sync=on; else sync=off; fi
	fact "descriptor $fd: $(flagnames "$flags"): O_SYNC is $sync"
	echo "copied while watched" >&7
	exec 7>&-
	wait "$pid"
}

# Copies the same 512 chunks of 512 bytes into an empty ./out under
# iowatch, and keeps the figures as one row of the table in the summary.
measure() {
	local label=$1 cmd=$2 calls ms per writes
	[ -f "$scratch/in" ] || head -c $((512 * 512)) /dev/zero >"$scratch/in"
	: >"$scratch/out"
	show "iowatch out $cmd"
	read -r calls ms per < <(sed -n 's/.* made \([0-9]*\) write calls in \([0-9.]*\) ms, \([0-9.]*\) ms a call$/\1 \2 \3/p' "$scratch/said") || true
	writes=$(sed -n 's/.*, which completed \([0-9]*\) writes meanwhile$/\1/p' "$scratch/said")
	if [ -z "$writes" ]; then
		writes=-
		# iowatch's own words for why it could not count them.
		sed -n 's/^iowatch: \(.* is on .*\)$/\1/p' "$scratch/said" >"$scratch/nodevice"
	fi
	printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$sync" "${calls:--}" \
		"${ms:--}" "${per:--}" "$writes" >>"$scratch/copies"
	fact "O_SYNC $sync: ${calls:-?} write calls, ${ms:-?} ms, ${per:-?} ms a call; device writes meanwhile: $writes"
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
	explain "$(awk -F'\t' '
		{ n[$2]++; calls[$2] += $3; ms[$2] += $4; writes[$2] += $6 }
		function half(s) {
			return sprintf("with O_SYNC %s, %.2f device writes and %.3f ms a write call",
				s, writes[s] / calls[s], ms[s] / calls[s])
		}
		END {
			for (s in n)
				if (!calls[s])
					exit # no count of write calls to divide by
			if (n["on"] && n["off"])
				printf "Read it: %s; %s. Each synchronous write waited for the device; the others left their data in the page cache, for the kernel to write out later.\n", half("on"), half("off")
			else
				for (s in n) printf "Read it: %s.\n", half(s)
		}' "$scratch/copies")"
}

# The row measure kept last, in words.
lastrow() {
	tail -1 "$scratch/copies" | awk -F'\t' '{
		printf "%s write calls, %s ms, %s", $3, $4,
			$6 == "-" ? "device writes not counted" : $6 " device writes" }'
}
