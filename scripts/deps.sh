# Sourced by the scripts: installs the Debian packages named in its arguments that are missing.
# apt-get runs through sudo when the caller is not root.
install_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "installing: ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and testing the tool needs.
BUILD_PACKAGES=(cmake make g++ pkg-config libusb-1.0-0-dev libgtest-dev googletest
                umockdev libumockdev-dev libglib2.0-dev valgrind)
