# fcntlcopy-sync: every write to ./out synchronous, while ./out is still
# opened with O_WRONLY alone and F_SETFL still asks for O_SYNC in vain.

source "$top/labs/checks/fcntlcopy-run.sh"

# The traced calls on ./out, and sync(), which is on every file, in order,
# as strace shows them without -y.
calls() {
	awk -v f="<$out>" '{ sub(/^[0-9]+ +/, "") } index($0, f) || /^sync\(/' trace |
		sed 's/<[^>]*>//g'
}

# Of the writes to ./out, how many, how many sync calls that worked, how
# many writes no sync call followed before the next write or the end, and
# how many sync_file_range calls.
tally() {
	calls | awk '
		/^(write|pwrite64|writev|pwritev2?)\(/ { bare += dirty; dirty = 1; w++ }
		/^(fsync|fdatasync|syncfs|sync)\(.* = 0$/ { dirty = 0; s++ }
		/^sync_file_range\(/ { r++ }
		END { print w + 0, s + 0, bare + dirty, r + 0 }'
}


# The open and the F_SETFL call as the starting code has them.
asbefore() {
	local opened setfl
	opened=$(calls | grep -E '^(open|openat|openat2|creat)\(' | head -1)
	if [ -z "$opened" ]; then
		unmet "./out opened" "no open of ./out in the trace"
	elif [[ ${opened%% = *} != *O_WRONLY* || ${opened%% = *} == *SYNC* ]]; then
		unmet "./out opened with O_WRONLY, without O_SYNC, as it was" "$opened"
	else
		seen "./out opened with O_WRONLY, without O_SYNC, as it was"
	fi
	setfl=$(calls | grep -F 'F_SETFL')
	if grep -q 'F_SETFL, .*O_SYNC' <<<"$setfl"; then
		seen "F_SETFL still asks for O_SYNC"
	else
		setfl=$(paste -sd';' <<<"$setfl" | sed 's/;/; /g')
		unmet "the fcntl(F_SETFL) that asks for O_SYNC, as it was" \
			"${setfl:-no F_SETFL on ./out}${setfl:+: no O_SYNC}"
	fi
}

# Synchronous: the descriptors written to have O_SYNC (or O_DSYNC, as
# fdatasync), or a sync call follows every write.
synchronous() {
	local f fd flags written w s bare r flagged= plain= unused= which=O_SYNC
	written=" $(calls | sed -n 's/^\(write\|pwrite64\|writev\|pwritev2\?\)(\([0-9]*\),.*/\2/p' | sort -u | paste -sd' ') "
	for f in $fds; do
		fd=${f%%:*} flags=${f#*:}
		if [[ $written != *" $fd "* ]]; then
			((8#$flags & 8#10000)) && unused+="; descriptor $fd has $(flagnames "$flags"), but no write went to it"
		elif ((8#$flags & 8#10000)); then
			flagged+=" $fd"
			(((8#$flags & 8#4010000) == 8#4010000)) || which=O_DSYNC
		else
			plain+="${plain:+, }descriptor $fd has $(flagnames "$flags")"
		fi
	done
	read -r w s bare r < <(tally)
	if [ "$w" -gt 0 ] && [ -n "$flagged" ] && [ -z "$plain" ]; then
		seen "its $w writes went to descriptor$flagged, which has $which: each returned once its data was on the device"
	elif [ "$w" -gt 0 ] && [ "$bare" -eq 0 ]; then
		seen "each of its $w writes to ./out was followed by a sync call, $s in all"
	else
		local none="unsynced writes: $bare of $w; sync calls: $s"
		[ "$bare" -ne "$w" ] || none="none of the $w writes was followed by a sync call"
		[ "$r" -eq 0 ] || none+="; sync_file_range, called $r times, is none: it writes the data back, but not what the file system needs to find it, nor out of the device's cache"
		unmet "every write to ./out synchronous: O_SYNC on the descriptor it goes to, or an fsync or fdatasync after it" \
			"${plain:-no descriptor written to was seen}$unused; $none"
	fi
}

# Overwritten from its start, as before, not truncated nor appended to.
content() {
	if cmp -s want out; then
		seen "./out: the $(wc -c <new) new bytes from its start, then the rest of the old ones"
	else
		local d
		d=$(cmp want out 2>&1 | sed -n 's/.*differ: byte \([0-9]*\).*/\1/p')
		unmet "./out overwritten from its start, not truncated: the $(wc -c <new) new bytes, then the old ones from offset $(wc -c <new) on" \
			"it holds $(wc -c <out) bytes${d:+, unlike that from offset $((d - 1)) on}"
	fi
}

# What the writes cost: shown, never judged, since the device is shared
# and may not be counted at all.
cost() {
	head -c $((256 * 512)) /dev/zero >in
	: >out
	bounded 20 "iowatch out fcntlcopy < in 2> io"
	local calls ms devw why
	read -r calls ms < <(sed -n 's/.* made \([0-9]*\) write calls in \([0-9.]*\) ms.*/\1 \2/p' io)
	devw=$(sed -n 's/.*, which completed \([0-9]*\) writes meanwhile$/\1/p' io)
	why=$(sed -n 's/^iowatch: \(.* is on .*\)$/\1/p' io | head -1)
	if [ -z "$calls" ]; then
		sed 's/^/  /' io
		seen "no count of its write calls: ${why:-iowatch said no more}"
	elif [ -n "$devw" ] && [ "$calls" -gt 0 ]; then
		seen "$calls write calls in $ms ms; the device under ./out completed $devw writes meanwhile, $(awk -v d="$devw" -v c="$calls" 'BEGIN { printf "%.1f", d / c }') a write call"
		explain "Synchronous, each write call waits for about three device writes (the data, and the journal's record of it); otherwise the data stays in the page cache while the copy runs. Other programs writing to the same device count too: the figure is shown, not judged."
	else
		seen "$calls write calls in $ms ms; device writes not counted: ${why:-iowatch said no more}"
	fi
}

checkit() {
	if ! command -v strace >/dev/null; then
		unmet "strace, to see the system calls" "no strace on PATH (bash setup installs it)"
		return
	fi
	out=$(pwd -P)/out
	observe 40 copied
	# The new bytes over the start of the old ones, the rest left.
	{ cat new; tail -c +$(($(wc -c <new) + 1)) old; } >want
	asbefore
	synchronous
	content
	cost
}
