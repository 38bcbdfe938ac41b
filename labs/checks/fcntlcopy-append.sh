# fcntlcopy-append: ./out opened with O_WRONLY as before, O_APPEND added
# by F_SETFL, so that every write lands after what ./out already holds.

source "$top/labs/checks/fcntlcopy-run.sh"

# The traced calls on ./out, in order, as strace shows them without -y.
calls() {
	awk -v f="<$out>" 'index($0, f) { sub(/^[0-9]+ +/, ""); print }' trace |
		sed 's/<[^>]*>//g'
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
	observe 2 appended
	asked
	appends
	content
}
