# relaxcopy-relax: given a standard output opened with O_SYNC or O_DSYNC,
# relaxcopy's writes do not wait for the device, and land where they would
# have: at standard output's offset, or at the end when it appends.
# Without either, standard output is used as it was handed.

req nosync "given a standard output with O_SYNC, or with O_DSYNC alone, descriptor 1 is open on that file while it copies, and no descriptor on it has O_SYNC or O_DSYNC"
req offset "the copy lands at the offset standard output stood at, and what the file held before and past it stays"
req append "with O_APPEND, each write lands at the file's end as it is then, after what another writer appended meanwhile"
req plain "a standard output without O_SYNC (a file the shell opened, a pipe) is written through as it was handed: the same open file description, as kcmp tells, the copy landing as before"
req status "exit status 0"

need perl

kept='kept before the copy'

# A standard output opened with O_SYNC or O_DSYNC needs perl: the shell
# cannot. ./syncout FILE FLAGS OFFSET COMMAND... opens FILE with O_WRONLY
# and the flags named (such as O_SYNC|O_APPEND), moves to OFFSET, and
# starts COMMAND with it as standard output.
syncout() {
	cat >syncout <<-'EOF'
	#!/usr/bin/perl
	use Fcntl;
	my ($file, $names, $at) = splice(@ARGV, 0, 3);
	my $flags = O_WRONLY;
	$flags |= Fcntl->can($_)->() for split /\|/, $names;
	sysopen(my $f, $file, $flags) or die "$file: $!\n";
	sysseek($f, $at, 0) or die "$file: $!\n" if $at;
	open(STDOUT, ">&", $f) or die "standard output: $!\n";
	exec { $ARGV[0] } @ARGV or die "$ARGV[0]: $!\n";
	EOF
	sed -i "1s|.*|#!$perl|" syncout
	chmod +x syncout
}

# The name of what /proc/$1/fd/$2 is open on, ./NAME for a file here.
target() {
	local t
	t=$(readlink "/proc/$1/fd/$2") || return 1
	case $t in "$here"/*) t=./${t#"$here"/} ;; esac
	echo "$t"
}

# Runs relaxcopy (its command line, $3 on, reading feed) into the file $1,
# which it must leave holding the file want, as requirement $2 says. A
# first piece of 100 bytes, then the rest, through a FIFO: while it waits
# for the rest, its descriptors are read; $other, if set, is appended to
# the file meanwhile, as another writer would. With $holder set, the
# check's own descriptor $holder is standard output, and must stay its
# open file description.
copyinto() {
	local file=$1 id=$2 fd t pos desc names mine= d one= which=nosync
	shift 2
	rm -f feed && mkfifo feed
	exec 7<>feed
	if [ -n "${holder:-}" ]; then
		which=plain
		launch -i feed -O "$holder" -s "$(astyped "$@") >> $file" -- "$@"
	else
		launch -i feed -- "$@"
	fi
	typed "head -c 100 in > feed"
	head -c 100 in >&7
	if waitread 100; then
		typed "fdmap $reader${holder:+ $$}"
		"$tools/fdmap" "$reader" ${holder:+"$$"} 2>&1 | sed 's/^/  /'
		readfds fds.tsv "$reader" ${holder:+"$$"}
		while IFS=$'\t' read -r p fd desc pos _ names _; do
			[ "$p" = "$reader" ] || { [ "$fd" = "${holder:-}" ] && mine=$desc; continue; }
			t=$(target "$reader" "$fd") || continue
			[ "$t" = "./$file" ] || [ "$fd" = 1 ] || continue
			[ "$fd" != 1 ] || one=$t:$desc:$names
			[ "$t" = "./$file" ] || continue
			if [ -z "${holder:-}" ] && [[ $names == *SYNC* ]]; then
				unmet nosync "descriptor $fd, on $t at offset $pos: $names"
			fi
		done <fds.tsv
		if [ -z "$one" ]; then
			unmet "$which" "descriptor 1 is closed while it copies"
		elif [ "${one%%:*}" != "./$file" ]; then
			unmet "$which" "descriptor 1 is open on ${one%%:*}, not on $file"
		elif [ -n "${holder:-}" ]; then
			if [ "$(cut -d: -f2 <<<"$one")" = "$mine" ]; then
				met plain "descriptor 1 is the very open file description the check handed it (its own descriptor $holder): ${one##*:}"
			else
				unmet plain "descriptor 1 is on $file, but a description of its own, not the one the check handed it: kcmp tells them apart"
			fi
		elif [[ ${one##*:} != *SYNC* ]]; then
			met nosync "descriptor 1, on $file: ${one##*:}"
		fi
	else
		unmet "$which" "it did not come back to read(0, ...) having read those 100 bytes"
	fi
	if [ -n "${other:-}" ]; then
		typed "echo '$other' >> $file"
		echo "$other" >>"$file"
	fi
	typed "tail -c +101 in > feed"
	tail -c +101 in >&7
	exec 7>&-
	settle
	if [ "$status" = 0 ]; then met status; else unmet status "it $ended"; fi
	d=$(differs want "$file" expected)
	if [ -z "$d" ]; then
		met "$id" "$file holds $what"
	else
		unmet "$id" "$d$(landed "$file")" "$file to hold $what"
	fi
}

# Where in the file $1 the copy's first bytes are, in words.
landed() {
	local at
	at=$(grep -aboF -m1 "$(head -c 40 in)" "$1" | cut -d: -f1)
	if [ -n "$at" ]; then
		echo "; the copy's first bytes are at offset $at"
	else
		echo "; the copy's first bytes are nowhere in it"
	fi
}

checkit() {
	here=$(pwd -P)
	syncout
	# Names made up for this run: only what standard output is open on
	# can be found.
	local placed=out.$RANDOM appended=log.$RANDOM n h=$((${#kept} + 1)) what other= holder=
	head -c 3000 /dev/urandom | base64 >in
	n=$(stat -c %s in)
	explain "in: $n bytes of random text, made for this run. The files written have names made up for it too. ./syncout, a few lines of perl, starts relaxcopy with its standard output opened with O_SYNC or O_DSYNC, which the shell cannot do."

	{ echo "$kept"; yes 'old old old old old old old old' | head -c 8192; } >"$placed"
	{ head -c $h "$placed"; cat in; tail -c +$((h + n + 1)) "$placed"; } >want
	what="its first $h bytes, then the $n bytes copied from offset $h on, then the rest of what it held: $(stat -c %s want) bytes in all"
	copyinto "$placed" offset ./syncout "$placed" O_SYNC $h relaxcopy

	# Appends land at the end as it is at each write, whoever wrote last.
	other="appended by another meanwhile ($RANDOM)"
	echo "$kept" >"$appended"
	{ cat "$appended"; head -c 100 in; echo "$other"; tail -c +101 in; } >want
	what="its $h bytes, the first 100 copied, the line appended meanwhile, then the rest of the copy"
	copyinto "$appended" append ./syncout "$appended" 'O_SYNC|O_APPEND' 0 relaxcopy
	other=

	# O_DSYNC alone, one of O_SYNC's two bits, waits for the device too.
	{ echo "$kept"; yes 'old old old old old old old old' | head -c 8192; } >"$placed"
	{ head -c $h "$placed"; cat in; tail -c +$((h + n + 1)) "$placed"; } >want
	what="its first $h bytes, the $n copied, then the rest, as with O_SYNC"
	copyinto "$placed" offset ./syncout "$placed" O_DSYNC $h relaxcopy

	# Without O_SYNC, standard output as the shell opened it: the check's
	# own descriptor 8, appending.
	echo "$kept" >"$appended"
	{ cat "$appended" in; } >want
	what="its $h bytes, then the copy, appended"
	exec 8>>"$appended"
	holder=8
	copyinto "$appended" plain relaxcopy
	exec 8>&-
	holder=

	# And into a pipe, the check's own end of it as standard output.
	explain "Now into a pipe whose other end cat reads: the check holds the writing end as its descriptor 8 and hands it over."
	exec 8> >(exec cat >piped)
	local cat=$!
	holder=8 other=
	cp in want
	: >piped.file
	rm -f feed && mkfifo feed
	exec 7<>feed
	launch -i feed -O 8 -s "relaxcopy | cat > piped" -- relaxcopy
	head -c 100 in >&7
	if waitread 100; then
		readfds fds.tsv "$reader" "$$"
		local a b
		a=$(awk -F'\t' -v p="$reader" '$1 == p && $2 == 1 { print $3 }' fds.tsv)
		b=$(awk -F'\t' -v p="$$" '$1 == p && $2 == 8 { print $3 }' fds.tsv)
		if [ -n "$a" ] && [ "$a" = "$b" ]; then
			met plain "into a pipe: descriptor 1 is the very pipe end the check handed it"
		else
			if [ -n "$a" ]; then
				unmet plain "into a pipe: descriptor 1 is a description of its own, not the pipe end the check handed it"
			else
				unmet plain "into a pipe: descriptor 1 is not open"
			fi
		fi
	else
		unmet plain "into a pipe: it did not come back to read(0, ...) having read those 100 bytes"
	fi
	tail -c +101 in >&7
	exec 7>&-
	settle
	exec 8>&-
	wait "$cat" 2>/dev/null
	if [ "$status" = 0 ]; then met status; else unmet status "it $ended"; fi
	d=$(differs in piped)
	if [ -z "$d" ]; then
		met plain "piped holds the $n bytes of in: into a pipe, the copy is as it was"
	else
		unmet plain "$d"
	fi
	holder=

	explain "What the writes cost, shown, not judged: 128 KiB in 512-byte writes under iowatch, which counts the writes the device completed meanwhile; first into a file the shell opened, then into one opened with O_SYNC."
	head -c $((128 * 1024)) /dev/zero >in128
	: >"$placed"
	rm -f io
	exec 8>"$placed"
	bounded -t 20 -i in128 -O 8 -s "iowatch -o io $placed relaxcopy > $placed" -- \
		"$tools/iowatch" -o "$run/io" "$placed" relaxcopy
	exec 8>&-
	iofigures io || cannot "what the writes cost: iowatch wrote no figures"
	seen "into $placed: ${io_calls:-?} write calls in $io_ms ms; device writes meanwhile: ${io_writes:-not counted: $io_why}"
	: >"$placed"
	rm -f io
	bounded -t 20 -i in128 -s "iowatch -o io $placed ./syncout $placed O_SYNC 0 relaxcopy" -- \
		"$tools/iowatch" -o "$run/io" "$placed" ./syncout "$placed" O_SYNC 0 relaxcopy
	iofigures io || cannot "what the writes cost: iowatch wrote no figures"
	seen "into $placed opened with O_SYNC: ${io_calls:-?} write calls in $io_ms ms; device writes meanwhile: ${io_writes:-not counted: $io_why}"
}
