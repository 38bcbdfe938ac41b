# fcntlcopy-append: ./out opened with O_WRONLY as before, O_APPEND added
# by F_SETFL, so that every write lands after what ./out already holds.

# The traced calls on ./out, in order, as strace shows them without -y.
calls() {
	awk -v f="<$out>" 'index($0, f) { sub(/^[0-9]+ +/, ""); print }' trace |
		sed 's/<[^>]*>//g'
}

# Runs the copy under strace, fed through a FIFO, and while it waits for
# input keeps the flags of each descriptor open on ./out in fds, as
# "FD:FLAGS" words.
fds=
observe() {
	local i fd flags
	printf 'old line %s, made up for this run\n' "$RANDOM$RANDOM" "$RANDOM$RANDOM" >old
	# Over 1024 bytes in one write to the FIFO, no more than PIPE_BUF:
	# they arrive at once, and the copy takes three reads and writes.
	for i in $(seq 28); do
		printf 'new line %02d of this run (%010d), appended\n' "$i" "$RANDOM$RANDOM"
	done >new
	cp old out
	mkfifo feed
	explain "./out holds $(wc -c <old) old bytes. The copy is fed $(wc -c <new) new ones through a FIFO; while it waits for them, the check reads its descriptors' flags."
	launch "strace -f -qq -y -s 20 -o trace fcntlcopy < feed"
	# Open for reading too: the open waits for no reader, and the feeding
	# write never meets a pipe its reader has left.
	exec 7<>feed
	waitread
	if [ -z "$reader" ]; then
		unmet "it to wait for input in read(0, ...), its descriptors set up" "it ended, or never read, within 5 s"
	else
		for fd in /proc/"$reader"/fd/*; do
			[ "$(readlink "$fd")" = "$out" ] || continue
			fd=${fd##*/}
			flags=$(awk '$1 == "flags:" { print $2 }' "/proc/$reader/fdinfo/$fd")
			typed "grep flags /proc/$reader/fdinfo/$fd"
			printf 'flags:\t%s\n' "$flags"
			seen "descriptor $fd, open on ./out: $(flagnames "$flags")"
			fds+=" $fd:$flags"
		done
		[ -n "$fds" ] || unmet "a descriptor open on ./out while it waits for input" "none"
	fi
	cat new >&7
	exec 7>&-
	settle 5
	[ "$status" -eq 0 ] || unmet "exit status 0" "it $ended"
	explain "Its calls on ./out, as strace saw them:"
	calls | sed 's/^/  /'
}

# O_APPEND not given to open, but asked of F_SETFL.
asked() {
	local opened setfl
	opened=$(calls | grep -E '^(open|openat|openat2|creat)\(' | head -1)
	setfl=$(calls | grep -F 'F_SETFL' | grep -F 'O_APPEND' | grep ' = 0$')
	if [ -z "$opened" ]; then
		unmet "./out opened" "no open of ./out in the trace"
	elif [[ ${opened%% = *} == *O_APPEND* ]]; then
		unmet "./out opened without O_APPEND: F_SETFL is to add it" "$opened"
	else
		seen "./out opened without O_APPEND"
	fi
	if [ -n "$setfl" ]; then
		seen "F_SETFL added O_APPEND: ${setfl%%$'\n'*}"
	else
		setfl=$(calls | grep -E '^fcntl\(' | grep -v -e F_GETFL -e F_GETFD | paste -sd';' | sed 's/;/; /g')
		unmet "an fcntl(F_SETFL) on ./out that asks for O_APPEND" \
			"${setfl:-no fcntl on ./out that sets flags}"
	fi
}

# The descriptors the writes went to have O_APPEND as the copy waits.
appends() {
	local f fd written seek matched=
	written=$(calls | sed -n 's/^\(write\|pwrite64\|writev\|pwritev2\?\)(\([0-9]*\),.*/\2/p' | sort -u)
	seek=$(calls | grep -E '^lseek\(.*SEEK_END' | head -1)
	for fd in $written; do
		for f in $fds; do
			[ "${f%%:*}" = "$fd" ] || continue
			matched=1
			if ((8#${f#*:} & 8#2000)); then
				seen "the writes went to descriptor $fd, which has O_APPEND: each one starts at the end of ./out"
			else
				unmet "O_APPEND (02000) on descriptor $fd, which the writes go to" \
					"its flags are ${f#*:}, $(flagnames "${f#*:}")${seek:+; it moved the offset once, by $seek, instead}"
			fi
		done
	done
	[ -n "$matched" ] || [ -z "$reader" ] ||
		unmet "the writes to go to a descriptor open on ./out while it waits for input" \
			"writes to descriptor(s) ${written:-none}; open on ./out:${fds:- none}"
}

# The old bytes kept, the new ones after them.
content() {
	if cat old new | cmp -s - out; then
		seen "./out: its $(wc -c <old) old bytes, then the $(wc -c <new) new ones"
	else
		local at where=nowhere
		at=$(grep -boF -m1 "$(head -1 new)" out | cut -d: -f1)
		[ -z "$at" ] || where="at offset $at"
		[ "$at" != 0 ] || where+=", over the old ones"
		unmet "./out to hold its $(wc -c <old) old bytes, then the $(wc -c <new) new ones" \
			"it holds $(wc -c <out) bytes, the first new line $where"
	fi
}

checkit() {
	if ! command -v strace >/dev/null; then
		unmet "strace, to see the system calls" "no strace on PATH (bash setup installs it)"
		return
	fi
	out=$(pwd -P)/out
	observe
	asked
	appends
	content
}
