# Showing, for the tour and the labs alike: a heading, a command as the
# reader would type it, a plain explanation, a fact that was measured.
# Colour only on a terminal.

if [ -t 1 ]; then
	bold=$'\e[1m' dim=$'\e[2m' cyan=$'\e[36m' red=$'\e[31m' off=$'\e[0m'
else
	bold= dim= cyan= red= off=
fi

heading() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$off"; }
# A command line, shown as typed; the caller runs it.
typed() { printf '%s$ %s%s\n' "$cyan" "$1" "$off"; }
explain() { printf '%s%s%s\n' "$dim" "$*" "$off" | fold -s -w 76 | sed 's/ *$//'; }
fact() { printf '%s-> %s%s\n' "$bold" "$*" "$off"; }

# Words, each quoted as a shell would need it to read it back as one word:
# a command given as words, shown as someone would type it.
quoted() {
	local w out= sep=
	for w in "$@"; do
		case $w in
		*[![:print:]]*) printf -v w '%q' "$w" ;;
		'' | *[!A-Za-z0-9_./:=+,@%^-]*) w="'${w//\'/\'\\\'\'}'" ;;
		esac
		out+=$sep$w sep=' '
	done
	printf '%s\n' "$out"
}
