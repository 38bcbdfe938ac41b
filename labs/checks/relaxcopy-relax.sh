# relaxcopy-relax: given a standard output opened with O_SYNC, relaxcopy's
# writes do not wait for the device, and land where they would have: at
# standard output's offset, or at the end when it appends.

kept='kept before the copy'

# relaxcopy started by perl with its standard output open on the file $1
# with O_SYNC and the flags $2 (such as "|O_APPEND"), at offset $3 if
# given: the shell cannot open a file with O_SYNC.
syncout() {
	local seek=
	[ -z "${3:-}" ] || seek=" sysseek(\$f, $3, 0);"
	echo "perl -MFcntl -e 'sysopen(my \$f, \"$1\", O_WRONLY$2|O_SYNC) or die \$!;$seek open(STDOUT, \">&\", \$f); exec @ARGV' relaxcopy"
}

# The name of what /proc/$pid/fd/$1 is open on, ./NAME for a file here.
target() {
	local t
	t=$(readlink "/proc/$pid/fd/$1") || return 1
	case $t in "$here"/*) t=./${t#"$here"/} ;; esac
	echo "$t"
}

# Runs the command line $2 (reading feed) into the file $1, which it must
# leave holding the file want. A first piece of 100 bytes, then the rest,
# through a FIFO: while it waits for the rest, the descriptors open on $1
# are looked at, and the line $4, if given, is appended to the file, as
# another writer would. $3 says where the copy must land.
copyinto() {
	local file=$1 fd flags t pos d one=
	rm -f feed && mkfifo feed
	launch "$2 < feed"
	exec 7>feed
	waitread 0
	typed "head -c 100 in > feed"
	head -c 100 in >&7
	if ! waitread $((rchar + 100)); then
		explain "It did not come back to read(0, ...) having read those 100 bytes: what is open is what it has now."
	fi
	for fd in /proc/$pid/fd/*; do
		fd=${fd##*/}
		t=$(target "$fd") || continue
		[ "$t" = "./$file" ] || [ "$fd" -eq 1 ] || continue
		flags=$(awk '$1 == "flags:" { print $2 }' "/proc/$pid/fdinfo/$fd")
		pos=$(awk '$1 == "pos:" { print $2 }' "/proc/$pid/fdinfo/$fd")
		typed "grep -e pos -e flags /proc/$pid/fdinfo/$fd"
		printf 'pos:\t%s\nflags:\t%s\n' "$pos" "$flags"
		seen "descriptor $fd, open on $t at offset $pos: $(flagnames "$flags")"
		[ "$fd" -ne 1 ] || one=y
		if [ "$t" != "./$file" ]; then
			unmet "descriptor 1 open on $file while it copies" "descriptor 1 is open on $t"
			continue
		fi
		((8#$flags & 8#10000)) &&
			unmet "no O_SYNC on standard output, nor on any descriptor open on $file, while it copies" \
				"descriptor $fd: $(flagnames "$flags")"
	done
	if [ -z "$one" ]; then
		case $(pstate "$pid") in
		'' | Z) unmet "descriptor 1 open on $file while it copies" "it had ended" ;;
		*) unmet "descriptor 1 open on $file while it copies" "descriptor 1 is closed" ;;
		esac
	fi
	if [ -n "${4:-}" ]; then
		typed "echo '$4' >> $file"
		echo "$4" >>"$file"
	fi
	typed "tail -c +101 in > feed"
	timeout 10 tail -c +101 in >&7
	exec 7>&-
	settle 5
	[ "$status" -eq 0 ] || unmet "relaxcopy to exit with status 0" "it $ended"
	d=$(differs want "$file" expected)
	if [ -z "$d" ]; then
		seen "$file holds $3"
	else
		unmet "$file to hold $3" "$d"
	fi
}

# Runs the command line $2 under iowatch, which counts the writes the
# device under the file $1 completed meanwhile, and says what it saw.
cost() {
	local calls ms writes
	bounded 20 "iowatch $1 $2 2> said"
	calls=$(sed -n 's/^iowatch: .* made \([0-9]*\) write calls .*/\1/p' said)
	ms=$(sed -n 's/^iowatch: .* \(in\|ran\) \([0-9.]*\) ms.*/\2/p' said)
	writes=$(sed -n 's/.*, which completed \([0-9]*\) writes meanwhile$/\1/p' said)
	if [ -z "$writes" ]; then
		# iowatch's own words for why it could not count them.
		writes="not counted: $(sed -n 's/^iowatch: \(.* is on .*\)$/\1/p' said)"
	fi
	seen "${calls:-?} write calls in ${ms:-?} ms; device writes meanwhile: $writes"
}

checkit() {
	here=$(pwd -P)
	# Names made up for this run: only what standard output is open on
	# can be found.
	local placed=out.$RANDOM appended=log.$RANDOM n d h=$((${#kept} + 1))
	head -c 3000 /dev/urandom | base64 >in
	n=$(stat -c %s in)
	explain "in: $n bytes of random text, made for this run. The files written have names made up for it too."

	{ echo "$kept"; yes 'old old old old old old old old' | head -c 8192; } >"$placed"
	{ head -c $h "$placed"; cat in; tail -c +$((h + n + 1)) "$placed"; } >want
	copyinto "$placed" "$(syncout "$placed" '' $h)" \
		"its first $h bytes, then the $n bytes copied, then the rest of what it held: $(stat -c %s want) bytes in all"

	# Appends land at the end as it is at each write, whoever wrote last.
	local other='appended by another meanwhile'
	echo "$kept" >"$appended"
	{ cat "$appended"; head -c 100 in; echo "$other"; tail -c +101 in; } >want
	copyinto "$appended" "$(syncout "$appended" '|O_APPEND')" \
		"its $h bytes, the first 100 copied, the line appended meanwhile, then the rest of the copy" "$other"

	bounded 5 "relaxcopy < in | cat > piped"
	d=$(differs in piped)
	if [ -z "$d" ]; then
		seen "piped holds the $n bytes of in: into a pipe, the copy is as it was"
	else
		unmet "the copy into a pipe to be as it was: piped to hold the $n bytes of in" "$d"
	fi

	explain "What the writes cost, shown, not judged: 128 KiB in 512-byte writes, under iowatch, which counts the writes the device completed meanwhile; first into a file the shell opened, then into one opened with O_SYNC."
	head -c $((128 * 1024)) /dev/zero >in128
	: >"$placed"
	cost "$placed" "relaxcopy < in128 > $placed"
	: >"$placed"
	cost "$placed" "$(syncout "$placed" '') < in128"
}
