#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A man page must format without a single warning.
set -u
page=$1
out=$(groff -ww -z -man "$page" 2>&1)
[ -z "$out" ] || { echo "FAIL $page:"; echo "$out"; exit 1; }
out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$out" ] || { echo "FAIL $page (man):"; echo "$out"; exit 1; }
echo "ok $page"
