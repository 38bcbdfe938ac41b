# What every part of the tour uses beside showing: running a shown command
# in the scratch directory, and keeping each part's finding for the
# summary at the end.

trap 'echo "${red}${0##*/}: failed at line $LINENO of ${BASH_SOURCE[0]}: $BASH_COMMAND${off}" >&2' ERR

scratch=
finish() {
	[ -z "$xpid" ] || kill "$xpid" 2>/dev/null || true
	[ -n "$scratch" ] || return 0
	if $keep; then
		echo "The scratch directory is kept: $scratch"
	else
		rm -rf "$scratch"
	fi
}

# Shows a command as typed, then runs it in the scratch directory; what it
# printed, standard error too, is kept in $scratch/said for a closer look.
show() {
	typed "$1"
	(cd "$scratch" && eval "$1") 2>&1 | tee "$scratch/said"
}
# Like show, for a command that fails on purpose: says how it ended.
showfails() { show "$1" || echo "(exit status $?)"; }
# One line of the summary: the program, what it showed, and the evidence.
finding() { printf '%-10s %s\n' "$1" "$2" >>"$scratch/findings"; }

summary() {
	heading "summary: what the tour measured on this machine"
	if [ -s "$scratch/copies" ]; then
		copytable
	fi
	cat "$scratch/findings"
}
