#!/bin/bash
# Installs what the build, the tests and the demo need, and only what is
# missing. Quick when everything is there.
set -euo pipefail
packages=(
    g++ cmake make pkg-config git python3
    libgtest-dev libgmock-dev libbenchmark-dev
    libicu-dev icu-devtools libcrypt-dev
    bubblewrap fuse3 libfuse3-dev
    clang-format
    samba-common-bin crudini
    util-linux procps iproute2 kmod
)
# Later parts add to this list through scripts/packages.d/*.list.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ -d "$here/packages.d" ]; then
    for f in "$here"/packages.d/*.list; do
        [ -e "$f" ] || continue
        while read -r p; do
            case "$p" in ''|'#'*) continue ;; esac
            packages+=("$p")
        done < "$f"
    done
fi
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    # The Kerberos servers just installed are for the tests' sandboxes
    # only: none stays enabled or running on this machine.
    for svc in krb5-kdc krb5-admin-server; do
        case " ${missing[*]} " in *" $svc "*) ;; *) continue ;; esac
        if command -v systemctl >/dev/null; then
            systemctl disable --now "$svc" >/dev/null 2>&1 || true
        fi
    done
fi
