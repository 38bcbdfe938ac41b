# arglines-environ: the arguments, an empty line, each environment string,
# an empty line; exactly what the kernel was handed.

# Each line of a file, with $ at its end, as cat -A shows it, on one line.
oneline() { cat -A "$1" | paste -sd' '; }

# Runs arglines under env -i with the given strings, and compares its
# output, byte for byte, with the arguments and environment it was given.
environment() {
	local shown=
	[ $# -eq 0 ] || shown=$(printf " '%s'" "$@")
	printf '%s\n' ./arglines x '' "$@" '' >want
	bounded 5 "env -i$shown ./arglines x > lines"
	cat -A lines | sed 's/^/  /'
	if cmp -s want lines; then
		seen "under env -i$shown: the arguments, then $# environment strings, each line as the kernel had it"
	else
		unmet "under env -i$shown: $(oneline want)" "$(oneline lines)"
	fi
	[ "$status" -eq 0 ] || unmet "exit status 0" "it $ended"
}

checkit() {
	# env -i leaves no PATH to find it by.
	cp "$bin/arglines" .
	explain "Each run's lines are shown as cat -A shows them: \$ marks the end of a line."
	environment A=1 'B=two words'
	# A name made up now: only what arrived can be printed.
	environment "LAB$RANDOM$RANDOM=made up for this run" 'EMPTY='
	environment
}
