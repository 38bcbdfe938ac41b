# The tour's page: what it measured, kept as data in $pagedir (build/tour/),
# which report turns into build/tour/report.html, one self-contained page
# to hand in or to project; bash tour --compare puts several side by side.

pagedir=
figures=0

# A fresh page directory, and the machine the tour ran on.
pagestart() {
	pagedir=$build/tour
	rm -rf "$pagedir"
	mkdir -p "$pagedir/fds" "$pagedir/latency"
	{
		echo "host=$(uname -n)"
		echo "date=$(date -Iseconds)"
		echo "os=$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-}")"
		echo "kernel=$(uname -r)"
		echo "cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
		echo "cores=$(nproc)"
		echo "memory=$(awk '$1 == "MemTotal:" { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
	} >"$pagedir/machine"
}

# A figure of the descriptors on wo.txt, from the graph fdmap wrote to
# $1 (its --dot) and $2 (its --json), laid out by dot, with the caption $3.
pagefigure() {
	figures=$((figures + 1))
	local n
	n=$(printf '%02d' "$figures")
	dot -Tsvg "$1" >"$pagedir/fds/$n.svg" 2>/dev/null || rm -f "$pagedir/fds/$n.svg"
	cp "$2" "$pagedir/fds/$n.json"
	echo "$3" >"$pagedir/fds/$n.title"
}

# The histogram of the write times in $1 (writetimes' file), drawn by
# lathist, kept for the page with the caption $2 and O_SYNC $3.
pagelatency() {
	local n
	n=$(find "$pagedir/latency" -name '*.data' | wc -l)
	{
		echo "label=$2"
		echo "sync=$3"
		lathist --data "$1"
	} >"$pagedir/latency/$(printf '%02d' $((n + 1))).data"
}

# The page, made from what the tour kept, and where it is.
pagewrite() {
	local n
	cp "$scratch/copies" "$pagedir/copies" 2>/dev/null || true
	sed 's/^\([^ ]*\)  */\1 /' "$scratch/findings" >"$pagedir/findings" 2>/dev/null || true
	[ ! -s "$scratch/readit" ] || cp "$scratch/readit" "$pagedir/readit"
	[ ! -s "$scratch/io" ] || {
		readkv "$scratch/io" io_ fs device why
		echo "fs=$io_fs"
		echo "device=$io_device"
		[ -z "$io_why" ] || echo "why=$io_why"
	} >>"$pagedir/machine"
	bash "$top/lab" --build "$build" states >"$pagedir/labs" 2>/dev/null || rm -f "$pagedir/labs"
	if report "$pagedir" "$pagedir/report.html"; then
		n=$pagedir/report.html
		[ "$here" != "$top" ] || n=build/tour/report.html
		fact "the page of this tour, to hand in or to project: $n"
		explain "One file, with everything in it: the machine, the copies and their histograms, the figures, the screenshot and your progress in the exercises. bash tour --compare A.html B.html puts several machines' pages side by side."
	fi
}
