# arglines-environ: the arguments, an empty line, each environment string,
# an empty line; exactly what the kernel was handed, in its order.

req args "the arguments, each on a line of its own, then one empty line, as before"
req env "then each environment string on a line of its own, in the order the program received them, whatever they hold"
req end "then one more empty line, and nothing after it"
req status "exit status 0, as before"

need env

# The bytes of a file, as cat -A shows them ($ ends a line), on one line,
# cut at 300 characters.
oneline() {
	local s
	s=$(cat -A "$1" | paste -sd' ')
	[ ${#s} -le 300 ] || s="${s:0:300} ..."
	echo "${s:-nothing}"
}

# Runs arglines under env -i with the environment strings $2 on (as many
# as $1 says) and the arguments after them, and compares its output, byte
# for byte, with what it was handed.
environment() {
	local n=$1 a e
	shift
	local strings=("${@:1:n}") args=("${@:n+1}")
	printf '%s\n' ./arglines "${args[@]}" '' >want.args
	printf '%s\n' "${strings[@]}" | head -c -$((n == 0)) >want.env
	{ cat want.args want.env; echo; } >want
	local shown
	shown="env -i $(quoted "${strings[@]}") ./arglines $(quoted "${args[@]}")"
	[ "$n" -le 8 ] || shown="env -i (the $n strings of env.list) ./arglines $(quoted "${args[@]}")"
	bounded -s "$shown" -o lines -- "$env" -i "${strings[@]}" ./arglines "${args[@]}"
	if [ "$n" -le 8 ]; then
		cat -A lines | sed 's/^/  /' | head -20
	else
		printf '%s\n' "${strings[@]}" >env.list
		explain "(its $(wc -l <lines) lines are in lines, beside env.list)"
	fi
	if [ "$status" = 0 ]; then
		met status
	else
		unmet status "it $ended"
	fi
	a=$(stat -c %s want.args) e=$(stat -c %s want.env)
	if head -c "$a" lines | cmp -s - want.args; then
		met args "the arguments as handed: $(oneline want.args)"
	else
		unmet args "$(oneline lines)" "$(oneline want.args) first"
	fi
	if tail -c +$((a + 1)) lines | head -c "$e" | cmp -s - want.env; then
		met env "then the $n environment strings as handed, in order"
		if [ "$(tail -c +$((a + e + 1)) lines | od -An -c | tr -d ' ')" = '\n' ]; then
			met end "then one empty line, the last"
		else
			tail -c +$((a + e + 1)) lines >rest
			unmet end "after them: $(oneline rest)" "one empty line after the environment strings, and nothing more"
		fi
	else
		tail -c +$((a + 1)) lines >rest
		unmet env "after the arguments: $(oneline rest)" \
			"after the arguments, under $shown: $(oneline want.env)"
	fi
}

checkit() {
	# env -i leaves no PATH to find it by.
	cp "$bin/arglines" .
	explain "Each run's lines are shown as cat -A shows them: \$ marks the end of a line."
	environment 2 A=1 'B=two words' x '' 'two words'
	# Made up now: only what arrived can be printed. A format for printf
	# and a newline inside a string, as a careless print would misread
	# them; the order as handed, not sorted.
	environment 4 "LAB$RANDOM$RANDOM=made up for this run" 'EMPTY=' \
		'FORMAT=100%s %d %n%%' $'TWO=lines\nin one string'
	environment 0 x
	local many=() i
	for i in $(seq 300 | shuf); do
		many+=("V$i=string $i of 300, made up for this run")
	done
	environment 300 "${many[@]}" x
}
