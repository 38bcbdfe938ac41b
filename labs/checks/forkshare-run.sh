# What both forkshare checks do first: wo.txt and the check's own exe1 in
# the scratch directory, then forkshare run once under strace, one trace
# file a process, and what the child, exe1 and the parent printed.

abc=abcdefghijklmnopqrstuvwxyz

# The fields of one strace line, for the awk programs that read a trace:
# call, args (what follows the opening parenthesis), fd (the first
# argument as a number), res (the result, empty where the call failed),
# line (the line without strace's padding).
fields='{
	call = $0; sub(/\(.*/, "", call)
	args = $0; sub(/^[^(]*\(/, "", args); fd = args + 0
	res = $0
	if (!sub(/^.*\) += /, "", res)) res = ""
	sub(/ .*/, "", res)
	if (res !~ /^[0-9]+$/) res = ""
	line = $0; gsub(/  +/, " ", line)
	wo = call ~ /^(open|openat|openat2|creat)$/ && /"([^"]*\/)?wo\.txt"/
	forks = call ~ /^(clone|clone3|fork|vfork)$/
}'

# Sets parent and child, the trace files of forkshare and of its child
# that became exe1; fails, with the reason recorded, if there is none.
runforkshare() {
	printf %s "$abc" >wo.txt
	if ! g++ -o exe1 "$top/labs/checks/forkshare-exe1.cpp" 2>exe1.log; then
		cat exe1.log
		unmet "the check's own exe1 to build" "g++ failed, as shown above"
		return 1
	fi
	explain "wo.txt holds the alphabet. ./exe1 is the check's own: it reads as the sample does, then tells what /proc shows of the descriptors on wo.txt, its own and its waiting parent's."
	bounded 5 "strace -ff -qq -s 40 -o trace forkshare > out 2>&1"
	sed 's/^/  /' out
	parent=$(grep -l '^execve("[^"]*/forkshare"' trace.* 2>/dev/null | head -1)
	child=$(grep -l '^execve("./exe1"' trace.* 2>/dev/null | head -1)
	if [ -z "$parent" ]; then
		unmet "strace to trace forkshare" "no trace of it: $(head -1 out)"
		return 1
	fi
	childbyte=$(sed -n 's/^child, bytes:1,\(.\)$/\1/p' out | head -1)
	exe1at=$(sed -n 's/^exe1: read 3 bytes at offset \([0-9]*\): .*/\1/p' out | head -1)
	# Where the parent's bytes lie in the alphabet is where it read.
	parentn= parenttext= parentat=
	read -r parentn parenttext < <(sed -n 's/^parent, bytes:\([0-9]*\),\(..*\)$/\1 \2/p' out | head -1)
	case $abc in
	*"$parenttext"*) parentat=${abc%%"$parenttext"*} parentat=${#parentat} ;;
	esac
	[ -n "$parenttext" ] || parentat=
	return 0
}

# The child and exe1 reading on from where the other stopped, as they
# print it; records what they printed instead.
childandexe1() {
	if [ "$childbyte" = a ] && [ "$exe1at" = 1 ]; then
		seen "the child read its byte from offset 0, then exe1 its 3 bytes from offset 1"
	else
		unmet "the child to read a from offset 0, then exe1 3 bytes from offset 1" \
			"$(grep -e '^child' -e '^exe1: read' out | paste -sd' ' | grep . || echo 'neither said so')"
	fi
}

# Each line of exe1's report on a descriptor of wo.txt, whose is "my" or
# "parent's": the number, pos, flags, and what kcmp said, tab-separated.
held() {
	sed -n "s/^exe1: $1 descriptor \([0-9]*\) on wo.txt: pos \([0-9?]*\), flags \([0-7][0-7]*\),* *\(.*\)$/\1\t\2\t\3\t\4/p" out
}
