# Sourced by the set-up scripts. install_packages PACKAGE... refreshes apt's
# package lists and installs PACKAGE... A mirror caught mid-sync fails one
# index for a while ("File has unexpected size ... Mirror sync in
# progress?"), so the refresh is tried four times in all; then it goes on
# with the lists apt has when every package asked for resolves from them,
# and otherwise stops with the indexes that failed.
#
# When the failed index is the security or updates suite of one foreign
# architecture, the native architecture has newer versions of the shared
# libraries than that architecture can match, and multiarch needs them
# equal. Preferring the release's own versions (apt's -t) resolves that
# without downgrading anything installed.
install_packages() {
    local log attempt release
    local prefer=()
    log=$(mktemp)
    for attempt in 1 2 3 4; do
        if apt-get update -qq >"$log" 2>&1 && ! grep -q '^E:' "$log"; then
            rm -f "$log"
            apt-get install -y -qq --no-install-recommends "$@" >/dev/null
            return
        fi
        [ "$attempt" -eq 4 ] || sleep $((attempt * 15))
    done
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if apt-get install --simulate -qq --no-install-recommends "$@" >/dev/null 2>&1; then
        echo "== apt-get update failed; what is needed resolves from the lists apt has:"
    elif [ -n "$release" ] &&
            apt-get install --simulate -qq -t "$release" --no-install-recommends "$@" >/dev/null 2>&1; then
        prefer=(-t "$release")
        echo "== apt-get update failed; what is needed resolves from the lists apt has, $release's own versions preferred:"
    else
        echo "== apt-get update failed, and the lists apt has do not hold all of: $*"
        grep '^[EW]:' "$log" | sed 's/^/   /'
        rm -f "$log"
        return 1
    fi
    grep '^E: Failed to fetch' "$log" | sed 's/^/   /'
    rm -f "$log"
    apt-get install -y -qq "${prefer[@]}" --no-install-recommends "$@" >/dev/null
}

# install_missing PACKAGE... installs those of PACKAGE... that are not yet
# installed, and says which; nothing at all when every one is.
install_missing() {
    local p missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "== Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive install_packages "${missing[@]}"
}
