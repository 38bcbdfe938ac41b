# What every exercise's check uses.
#
# A check, labs/checks/NAME.sh, is a declared test. It first states its
# requirements with req, one for each thing its task asks; then checkit
# measures, and each requirement ends met, unmet (what was expected, what
# was found) or not measured (why). The exercise is solved only when every
# requirement is met. When the check itself lacks its evidence (a tool
# missing or failing, a trace it cannot read), it says what it could not
# measure and ends with status 2: never "solved", never the learner's
# fault.
#
# A learner's code is untrusted: it may not build, may crash, hang, spin,
# fork without end, flood its output or leave processes behind. So it is
# built from a copy, and every run of it goes through labrun, which runs
# it in a session (and, where the kernel lets it, a PID namespace) of its
# own, bounded in time, processes, file size and output, with the project
# read-only but for its scratch directory, and ends whatever it left.
#
# checkit runs in $run, the scratch directory, empty at the start, and may
# use:
#   $src   the copy of labs/NAME/ that was built (the learner's files stay
#          untouched)
#   $bin   where the learner's programs were built
#   $tools the project's own programs (iowatch, fdmap, exe1, firstwin, ...),
#          called by their path, never found on PATH
# and the functions below.

reqs=()
declare -A reqtext=() reqstate=() reqnote=()

# Declares requirement $1: the sentence $2 of the task, as the learner
# reads it.
req() {
	reqs+=("$1")
	reqtext[$1]=$2
	reqstate[$1]=
	reqnote[$1]=
}

# One piece of evidence, as measured.
seen() { fact "$*"; }

# Requirement $1 met, by the evidence $2, shown if given.
met() {
	[ -n "${reqstate[$1]}" ] || reqstate[$1]=met
	[ -z "${2:-}" ] || seen "$2"
}

# Requirement $1 not met: found $2; $3, if given, says more precisely
# what was expected than the requirement itself. The first three times
# are kept, then only counted.
unmet() {
	local said="found: $2"
	[ -z "${3:-}" ] || said="expected: $3"$'\n'$said
	reqstate[$1]=unmet
	note "$1" "$said"
}

# Requirement $1 could not be measured, for the reason $2, which is not
# the learner's code's doing. An unmet requirement stays unmet.
unmeasured() {
	[ "${reqstate[$1]}" = unmet ] || reqstate[$1]=unmeasured
	note "$1" "not measured: $2"
}

declare -A reqnotes=()
note() {
	local n=$((${reqnotes[$1]:-0} + 1))
	reqnotes[$1]=$n
	[ "$n" -le 3 ] || return 0
	reqnote[$1]+="$2"$'\n'
}

# Ends the check at once: it could not measure what $1 says.
cannot() {
	cleanup
	printf '\n%sthe check could not measure%s %s\n' "$bold" "$off" "$1"
	echo "This is not your code's doing: the check itself lacked its evidence. Nothing was judged; run bash setup, then check again."
	exit 2
}

# The requirements as declared, numbered, before anything is measured.
requirements() {
	local i=0 id
	echo "${bold}The check requires:${off}"
	for id in "${reqs[@]}"; do
		i=$((i + 1))
		printf '%s\n' "$i. ${reqtext[$id]}" | fold -s -w 74 |
			sed '1s/^/  /; 1!s/^/     /'
	done
}

# Ends the check: each requirement as it ended, then the verdict. solved
# (0) only if every requirement was met; not solved yet (1) if any was
# unmet; otherwise the check could not measure them all (2). The same is
# kept for programs to read (lab check --all) in build/lab/NAME/result:
# a line a requirement, its state, number, sentence and notes,
# tab-separated.
verdict() {
	cleanup
	local i=0 id state mark unmet=0 missing=0
	for id in "${reqs[@]}"; do
		i=$((i + 1))
		printf '%s\t%d\t%s\t%s\n' "${reqstate[$id]:-unmeasured}" "$i" "${reqtext[$id]}" \
			"$(printf '%s' "${reqnote[$id]}" | tr '\t' ' ' | paste -sd'|' | sed 's/|/; /g')"
	done >"$work/result"
	i=0
	printf '\n%sRequirements:%s\n' "$bold" "$off"
	for id in "${reqs[@]}"; do
		i=$((i + 1))
		state=${reqstate[$id]}
		case $state in
		met) mark=ok ;;
		unmet) mark=FAIL unmet=$((unmet + 1)) ;;
		*) mark=? missing=$((missing + 1))
			[ -n "${reqnote[$id]}" ] ||
				reqnote[$id]="  not measured: the check did not get to it"$'\n' ;;
		esac
		printf '%s\n' "$i. ${reqtext[$id]}" | fold -s -w 68 |
			sed "1s/^/  $(printf '%-8s' "$mark")/; 1!s/^/             /"
		# Left whole, however long: what was found is read, and searched.
		printf '%s' "${reqnote[$id]}" | sed 's/^/          /'
		[ "${reqnotes[$id]:-0}" -le 3 ] ||
			echo "      and $((${reqnotes[$id]} - 3)) more times alike"
	done
	if [ "$unmet" -gt 0 ]; then
		echo "unsolved $judged" >"$work/verdict"
		printf '\n%snot solved yet%s: %d of %d requirements met.\n' "$bold" "$off" \
			$((${#reqs[@]} - unmet - missing)) ${#reqs[@]}
		echo "The hint: bash lab hint $name. The check's files are in $run."
		exit 1
	fi
	if [ "$missing" -gt 0 ]; then
		printf '\n%sthe check could not measure%s %d of its %d requirements, so it cannot say "solved".\n' \
			"$bold" "$off" "$missing" ${#reqs[@]}
		echo "This is not your code's doing: the check itself lacked its evidence."
		exit 2
	fi
	echo "solved $judged" >"$work/verdict"
	printf '\n%ssolved%s: %s\n' "$bold" "$off" "$title"
	echo "Compare with the reference solution: labs/solutions/$name/"
	exit 0
}

# The tools a check runs, found once, by their path, before the learner's
# build directory is anywhere near PATH. Sets a variable of each name, with
# _ for what a name may not hold: $strace, $g__ for g++.
need() {
	local t p
	for t in "$@"; do
		p=$(command -v "$t") || cannot "anything: $t is not installed (bash setup installs it)"
		printf -v "${t//[!A-Za-z0-9_]/_}" '%s' "$p"
	done
}

# --- running the learner's code ---------------------------------------

runs=0
runner=
pid=
status=
ended=
left=0

# Starts a command in the scratch directory through labrun, in the
# background, and shows it as the learner could type it: the learner's
# programs found by name, first on its PATH (never on the check's own,
# where a program of the learner's could stand in for a tool the check
# runs). Sets pid to its process once it runs. Options, before the
# command's words:
#   -t SECONDS  the time it may take (5 by default)
#   -i FILE     its standard input; -o FILE, -e FILE its output and errors,
#               of which at most 1 MiB each is kept
#   -O FD       the check's own descriptor FD as its standard output
#   -s WORDS    what to show in place of the command's own words
#   -S FILE     the command is strace, writing to FILE (with -q, so that
#               each trace ends with how its process ended): the run ends
#               once the program it traces has, though strace may still be
#               tracing what that left behind, and settle reads the
#               program's end from the trace
launch() {
	local limit=5 in= out= err= shown= opt give=1
	local -a io=()
	tracedto=
	OPTIND=1
	while getopts t:i:o:e:O:s:S: opt; do
		case $opt in
		S) tracedto=$OPTARG ;;
		t) limit=$OPTARG ;;
		i) in=$OPTARG io+=(-i "$OPTARG") ;;
		o) out=$OPTARG io+=(-o "$OPTARG") ;;
		e) err=$OPTARG io+=(-e "$OPTARG") ;;
		O) give=$OPTARG ;;
		s) shown=$OPTARG ;;
		*) cannot "anything: launch was given -$opt" ;;
		esac
	done
	shift $((OPTIND - 1))
	[ -n "$shown" ] || shown=$(astyped "$@")
	typed "$shown${in:+ < $in}${out:+ > $out}${err:+ 2> $err}"
	runs=$((runs + 1))
	report=$work/runs/$runs
	rm -f "$report".*
	lastlimit=$limit
	# The check's own descriptors (a FIFO it feeds, the lock) are not
	# the program's: one held open would keep its input from ending.
	PATH=$bin:$PATH "$tools/labrun" -t "$limit" -C "$run" -R "$top" -w "$run" \
		-p "$report.pid" -r "$report.report" "${io[@]}" -- "$@" \
		>&"$give" 7>&- 8>&- 9>&- &
	runner=$!
	local i
	pid=
	for ((i = 0; i < 200; i++)); do
		[ ! -s "$report.pid" ] || { read -r pid <"$report.pid"; break; }
		kill -0 "$runner" 2>/dev/null || break
		sleep 0.01
	done
	[ ! -s "$report.pid" ] || read -r pid <"$report.pid"
	# The program strace runs, its first child, found as soon as it is
	# there: it may be gone by the time the run is settled.
	tracee=
	for ((i = 0; i < 200; i++)); do
		[ -n "$tracedto" ] && [ -n "$pid" ] || break
		tracee=$(cat /proc/"$pid"/task/*/children 2>/dev/null | awk '{ print $1; exit }')
		[ -z "$tracee" ] || break
		sleep 0.005
	done
	return 0
}

# A command's words as the learner could type them in the scratch
# directory: programs by name, the scratch directory's files as ./FILE.
astyped() {
	local w words=()
	for w in "$@"; do
		case $w in
		"$run"/*) w=./${w#"$run"/} ;;
		"$bin"/* | "$tools"/*) w=${w##*/} ;;
		/*) [ ${#words[@]} -gt 0 ] || w=${w##*/} ;;
		esac
		words+=("$w")
	done
	quoted "${words[@]}"
}

# Reads labrun's report FILE into variables named PREFIX and its keys
# (ended, status, signal, left, leftsessions, error, outmore). No report,
# or an error beyond a command that could not start, is labrun's own
# failure: how WHAT ended is not known, and the check ends. WHY is labrun's
# own word on it, where kept.
labrunreport() {
	local file=$1 prefix=$2 what=$3 why=${4:-} ended error
	readkv "$file" "$prefix" ended status signal left leftsessions error outmore ||
		cannot "$what: labrun wrote no report${why:+: $why}"
	ended=${prefix}ended error=${prefix}error
	[ -z "${!error}" ] || [ "${!ended}" = notstarted ] ||
		cannot "$what: labrun failed: ${!error}"
}

# Waits for what launch started to end, as it will within its time, and
# reads labrun's report. Sets status (the exit status, or 128 + the
# signal, or empty where it did not exit), ended (how it ended, in
# words), left, and shows how it ended.
settle() {
	local why gone=0
	status= ended=
	# A traced program that has ended: strace waits on for what it left
	# behind, and the run is ended half a second later.
	while [ -n "$tracee" ] && kill -0 "$runner" 2>/dev/null; do
		if [ -z "$(pstate "$tracee")" ]; then
			gone=$((gone + 1))
			[ "$gone" -lt 25 ] || kill -TERM "$runner"
		fi
		sleep 0.02
	done
	wait "$runner" 2>/dev/null
	labrunreport "$report.report" run_ "how a run ended"
	left=${run_left:-0} outmore=${run_outmore:-0}
	case $run_ended in
	exit) status=$run_status ended="exited with status $run_status" ;;
	signal) ended="was killed by $run_signal" ;;
	timeout) ended="did not finish in $lastlimit s" ;;
	stopped) ended="was ended by the check" ;;
	notstarted) ended="could not be started: $run_error" ;;
	*) cannot "how a run ended: labrun's report says \"$run_ended\"" ;;
	esac
	# strace's own end is the traced program's; read it from the trace
	# where strace itself was ended.
	if [ -n "$tracedto" ] && [ "$run_ended" = stopped ]; then
		"$tools/tracecalls" "$tracedto"* 2>/dev/null | tail -n +2 >"$report.calls"
		traceend "$report.calls"
	fi
	if [ "$left" -gt 0 ]; then
		why="left $left process"
		[ "$left" = 1 ] || why+=es
		why+=" behind"
		[ "${run_leftsessions:-0}" = 0 ] || why+=", $run_leftsessions of them in sessions of their own"
		ended+=" and $why; all ended"
	fi
	seen "it $ended"
	[ "$outmore" = 0 ] || seen "it printed $outmore bytes more than the check keeps of it (1 MiB)"
}

# Ends what launch started, if it is still running, and settles.
stop() {
	kill -TERM "$runner" 2>/dev/null
	settle
}

# A command run to its end, bounded: launch, then settle.
bounded() {
	launch "$@"
	settle
}

# What the file $1 holds, its lines joined by |, quoted, cut at 200
# characters; "nothing" for an empty file, in words.
said() {
	local s
	s=$(paste -sd'|' "$1" 2>/dev/null | cut -c1-200)
	if [ -z "$s" ]; then
		echo nothing
	else
		echo "'$s'"
	fi
}

# Shows a file a run wrote, at most 40 lines of it, and says how much
# more there was.
shown() {
	local n
	[ -s "$1" ] || { echo "  (nothing)"; return; }
	n=$(wc -l <"$1")
	head -40 "$1" | cut -c1-200 | sed 's/^/  /'
	[ "$n" -le 40 ] || echo "  ... and $((n - 40)) more lines, not shown"
	[ "$outmore" = 0 ] || echo "  ... and $outmore more bytes, not kept"
}

# Everything a check started, ended: at the end of every check, whatever
# way it ends.
cleanup() {
	if [ -n "$runner" ]; then
		kill -TERM "$runner" 2>/dev/null
		wait "$runner" 2>/dev/null
	fi
	# The display too, and waited for: it works in the scratch directory.
	if [ -n "$xpid" ]; then
		kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null
		xpid=
	fi
	return 0
}

# --- evidence ---------------------------------------------------------

# The system calls of a trace (strace's files, $2 on), one record a call
# as tracecalls reads them, in the file $1: pid, time, call, ret, err, fd,
# file, args, note, tab-separated, with no header. A trace it cannot read
# ends the check: that is no evidence at all.
readtrace() {
	local to=$1
	shift
	"$tools/tracecalls" "$@" 2>"$to.err" | tail -n +2 >"$to"
	[ "${PIPESTATUS[0]}" = 0 ] ||
		cannot "the system calls: tracecalls could not read $(quoted "${@##*/}"): $(head -1 "$to.err")"
}

# awk over the records readtrace wrote, -F'\t' and the kinds of call named
# once, for every check: opens, reads, preads, writes, dups, forks, seeks
# and syncs, each a pattern for $3, the call. The fields: $1 pid, $2 time,
# $3 call, $4 ret, $5 err, $6 fd, $7 file, $8 args, $9 note.
writecalls=write,writev,pwrite64,pwritev,pwritev2
traceawk() {
	awk -F'\t' -v opens='^(open|openat|openat2|creat)$' \
		-v reads='^(read|readv|pread64|preadv|preadv2)$' \
		-v preads='^(pread64|preadv|preadv2)$' \
		-v writes="^(${writecalls//,/|})$" \
		-v dups='^(dup|dup2|dup3)$' \
		-v forks='^(clone|clone3|fork|vfork)$' \
		-v seeks='^(lseek|_llseek)$' \
		-v syncs='^(fsync|fdatasync|syncfs|sync)$' "$@"
}

# How the traced program ended, as the records readtrace wrote in the
# file $1 tell it: the first process in them that no other one made, and
# its last +exit or +killed. Sets status and ended as settle does, and
# leaves them as they are where the trace does not tell.
traceend() {
	local end
	end=$(traceawk '
		!($1 in seen) { seen[$1]; order[++n] = $1 }
		$3 ~ forks && $4 ~ /^[0-9]+$/ { made[$4] }
		$3 == "+exit" { e[$1] = "+exit " $4 }
		$3 == "+killed" { e[$1] = "+killed " $8 }
		END { for (i = 1; i <= n; i++) if (!(order[i] in made)) { print e[order[i]]; exit } }' "$1")
	case $end in
	"+exit "*) status=${end#+exit } ended="exited with status $status" ;;
	"+killed "*) status= ended="was killed by ${end#+killed }" ;;
	esac
}

# The descriptors of processes (fdmap's arguments, $2 on), as fdmap reads
# them, in the file $1: pid, fd, desc, pos, flags, names, cloexec, known,
# dev, ino, path, tab-separated, with no header.
readfds() {
	local to=$1
	shift
	"$tools/fdmap" --tsv "$@" 2>"$to.err" | tail -n +2 >"$to"
}

# In words, how file $2 differs from file $1, which it should equal;
# nothing when they are alike. Bytes are counted from 0, as offsets are.
# $3 says what $1 is ("of $1" by default).
differs() {
	local a b at what=${3:-"of $1"}
	a=$(stat -c %s "$1")
	b=$(stat -c %s "$2" 2>/dev/null) || { echo "there is no $2"; return; }
	at=$(cmp "$1" "$2" 2>/dev/null | sed -n 's/.* differ: [a-z]* \([0-9]*\),.*/\1/p')
	if [ -n "$at" ]; then
		echo "$2 holds $b bytes, and from offset $((at - 1)) on not those $what"
	elif [ "$b" -lt "$a" ]; then
		echo "$2 holds only the first $b of the $a bytes $what"
	elif [ "$b" -gt "$a" ]; then
		echo "$2 holds the $a bytes $what, then $((b - a)) more"
	fi
}

# --- building ---------------------------------------------------------

# One hash of the content of every file under $1, their names with it: a
# verdict is kept with the hash of the code it judged.
codehash() {
	(cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum) | sha256sum | cut -c1-16
}

# Makes $src hold exactly what labs/NAME/ holds, copying only the files
# whose content changed, with the time of the copy: what make rebuilds is
# decided by content, whatever times the learner's files carry.
syncsrc() {
	local f
	mkdir -p "$src"
	(cd "$top/labs/$name" && find . -type f) | while IFS= read -r f; do
		cmp -s "$top/labs/$name/$f" "$src/$f" && continue
		mkdir -p "$(dirname "$src/$f")"
		cp "$top/labs/$name/$f" "$src/$f"
	done
	(cd "$src" && find . -type f) | while IFS= read -r f; do
		[ -e "$top/labs/$name/$f" ] || rm -f "$src/$f"
	done
}

# The learner's code, copied and built apart under build/lab/NAME/build,
# through labrun: a build runs the learner's CMakeLists.txt, bounded like
# any of its code. A CMakeLists.txt that changed gets a build directory
# of its own, so nothing an earlier answer built speaks for this one. On
# failure the compiler's own words are shown, with the learner's own file
# names, and that is the verdict.
buildit() {
	local sum
	log=$work/build.log
	syncsrc
	sum=$(find "$src" \( -name CMakeLists.txt -o -name '*.cmake' \) -print0 |
		sort -z | xargs -0 -r cat | sha256sum)
	[ "$(cat "$bin/.cmakelists" 2>/dev/null)" = "$sum" ] || rm -rf "$bin"
	mkdir -p "$bin"
	if [ ! -f "$bin/CMakeCache.txt" ]; then
		buildstep cmake -S "$src" -B "$bin"
		if [ "$how" != "exit 0" ]; then
			rm -rf "$bin"
			builtas "cmake could not configure it ($how)"
		fi
		echo "$sum" >"$bin/.cmakelists"
	fi
	buildstep cmake --build "$bin" -j"$(nproc)"
	[ "$how" = "exit 0" ] || builtas "it did not build ($how)"
	# Warnings are worth reading even when the build succeeds.
	ours <"$log" | grep -A3 'warning:' || true
	met builds "it built"
}

# Runs one build step through labrun, its output and errors in the build
# log, with nothing to read: LAB_BUILD_SECONDS at most (120 by default, for
# a first build of a Qt program on a slow machine). Sets how it ended, in
# words.
buildstep() {
	local limit=${LAB_BUILD_SECONDS:-120}
	rm -f "$work/build.report" "$log" "$log.err" "$log.labrun"
	# How labrun itself fared is read from its report, not its status.
	"$tools/labrun" -t "$limit" -C "$work" -R "$top" -w "$bin" -i /dev/null \
		-f $((512 << 20)) -o "$log" -e "$log.err" -r "$work/build.report" \
		-- "$@" >/dev/null 2>"$log.labrun" 7>&- 8>&- 9>&- || :
	[ ! -f "$log.err" ] || cat "$log.err" >>"$log"
	labrunreport "$work/build.report" build_ "the build" "$(head -n 1 "$log.labrun")"
	# A build tool that could not start is no fault of the learner's code.
	[ -z "$build_error" ] || cannot "the build: $build_error"
	case $build_ended in
	exit) how="exit $build_status" ;;
	timeout) how="did not build in $limit s" ;;
	signal) how="was killed by $build_signal" ;;
	*) how=$build_ended ;;
	esac
}

# The build's words with the learner's own files named where the copy's
# are: labs/NAME/FILE, which an editor that jumps to a message opens.
ours() {
	local from=$src/ to=labs/$name/ line
	while IFS= read -r line; do
		printf '%s\n' "${line//"$from"/$to}"
	done
}

# The build failed as $1 says: the compiler's and linker's words so far,
# each naming the learner's own file, then the verdict.
builtas() {
	local what=$1 id
	ours <"$log" | sed -e '/^g\?make/d' -e '/^\[/d' | head -60
	if grep -q -e 'collect2: error' -e 'undefined reference' -e '^/usr/bin/ld:' "$log"; then
		what="it did not link: the linker's errors above"
	elif grep -q 'error:' "$log"; then
		what="it did not compile: the compiler's errors above"
	fi
	unmet builds "$what"
	for id in "${reqs[@]}"; do
		[ "$id" = builds ] || unmeasured "$id" "your code did not build"
	done
	verdict
}

# The project's programs and helpers as their build made them, by the
# checksums it wrote beside them. One changed since (by a learner's code,
# run where the project could not be kept from it) is built again; in a
# build directory given with --build, which lab does not build, it ends
# the check.
verifytools() {
	local changed t targets=()
	changed=$(cd "$tools" && sha256sum --quiet -c -- *.sha256 2>/dev/null |
		sed -n 's/: FAILED.*//p') || true
	[ -n "$changed" ] || return 0
	if [ "$tools" != "$top/build/bin" ]; then
		cannot "anything: the project's $(echo $changed) changed since $tools was built; build it again"
	fi
	for t in $changed; do
		rm -f "$tools/$t"
		t=${t#lib} targets+=(--target "${t%.so}")
	done
	cmake --build "$top/build" "${targets[@]}" --target sums >"$work/rebuild.log" 2>&1 ||
		cannot "anything: the project's $(echo $changed) changed since it was built, and would not build again (see $work/rebuild.log)"
	echo "The project's $(echo $changed) had changed since it was built: built again."
}

# lab check NAME.
check() {
	name=$1
	title=$2
	work=$top/build/lab/$name
	src=$work/src bin=$work/build run=$work/run
	if [ -z "$tools" ]; then
		tools=$top/build/bin
		if [ ! -x "$tools/labrun" ]; then
			echo "${bold}Setting up: packages and the programs (once)${off}"
			bash "$top/setup" --programs
		fi
	fi
	mkdir -p "$work/runs"
	verifytools
	# One check of an exercise at a time: a second waits for the first.
	exec 9>"$work/lock"
	if ! flock -n 9; then
		echo "Another check of $name is running: waiting for it to end."
		flock 9
	fi
	trap cleanup EXIT
	heading "checking $name: $title"
	judged=$(codehash "$top/labs/$name")
	req builds "your code builds, as its CMakeLists.txt says"
	source "$top/labs/checks/$name.sh"
	requirements
	buildit
	rm -rf "$run"
	mkdir -m 700 -p "$run"
	scratch=$run
	cd "$run"
	# The learner's code failing is what a check looks at, not a fault of
	# the check's: each command's status is its to judge, and a pipe's is
	# its last command's (head leaves the rest of a pipe unread).
	set +eE +o pipefail
	trap - ERR
	checkit
	verdict
}
