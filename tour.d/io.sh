# Data the project's tools write for a program to read back, one
# key=value a line (iowatch's figures, labrun's report), for the tour and
# the labs: read once, here. Sets a variable $2KEY for each of the keys
# after $2 in the file $1, empty for those it lacks; fails when there is
# no file.
readkv() {
	local file=$1 prefix=$2 k v
	shift 2
	for k in "$@"; do
		printf -v "$prefix$k" '%s' ''
	done
	[ -s "$file" ] || return 1
	while IFS='=' read -r k v; do
		case " $* " in *" $k "*) printf -v "$prefix$k" '%s' "$v" ;; esac
	done <"$file"
}

# What iowatch measured, as it writes its figures with -o. Sets io_calls,
# io_ms, io_writes (empty where the device's writes were not counted),
# io_why (iowatch's words for why not), io_device and io_program; fails
# when there are no figures at all.
iofigures() {
	readkv "$1" io_ calls ms writes why device program && [ -n "$io_ms" ]
}
