#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages named as arguments when any is missing. Used by the Makefile, so
# that `make demo` and `make test` work on a fresh Debian 12 machine run as root.
set -eu

missing=""
if command -v dpkg-query >/dev/null 2>&1; then
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
        case "$status" in
            *" installed") ;;
            *) missing="$missing $pkg" ;;
        esac
    done
else
    echo "ensure-deps: no dpkg here; assuming these are installed:$(printf ' %s' "$@")" >&2
    exit 0
fi
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "ensure-deps: missing Debian packages:$missing" >&2
    echo "ensure-deps: run as root, or install them with: sudo apt-get install$missing" >&2
    exit 1
fi
if ! command -v apt-get >/dev/null 2>&1; then
    echo "ensure-deps: missing packages:$missing, and apt-get is not available to install them" >&2
    exit 1
fi
echo "ensure-deps: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing; }; then
    echo "ensure-deps: could not install$missing (is the package index reachable?)" >&2
    exit 1
fi
