# Sourced by the set-up scripts. update_package_lists PACKAGE... refreshes
# apt's package lists before PACKAGE... are installed. A mirror caught
# mid-sync fails one index for a while ("File has unexpected size ... Mirror
# sync in progress?"), so it tries again, four times in all; then it goes on
# with the lists apt has when every package asked for resolves from them,
# and otherwise stops with the indexes that failed.
update_package_lists() {
    local log attempt
    log=$(mktemp)
    for attempt in 1 2 3 4; do
        if apt-get update -qq >"$log" 2>&1 && ! grep -q '^E:' "$log"; then
            rm -f "$log"
            return 0
        fi
        [ "$attempt" -eq 4 ] || sleep $((attempt * 15))
    done
    if apt-get install --simulate -qq --no-install-recommends "$@" >/dev/null 2>&1; then
        echo "== apt-get update failed; what is needed resolves from the lists apt has:"
        grep '^E: Failed to fetch' "$log" | sed 's/^/   /'
        rm -f "$log"
        return 0
    fi
    echo "== apt-get update failed, and the lists apt has do not hold all of: $*"
    grep '^[EW]:' "$log" | sed 's/^/   /'
    rm -f "$log"
    return 1
}
