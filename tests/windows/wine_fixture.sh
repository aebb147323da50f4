#!/bin/sh
# The Wine that the tests of the Windows program share, set up and taken down
# by CTest as a fixture around them. WINEPREFIX (in the build folder) comes
# from CTest.
#   sh wine_fixture.sh start WINESERVER WINE...   make the prefix, start Wine
#   sh wine_fixture.sh stop WINESERVER            end Wine
#
# Wine's background processes keep the standard output of whoever started them
# open, and CTest waits for a test's output to close: a wineserver started by a
# test's own wine would hold that test for seconds after the program ended. So
# one persistent wineserver, started here with its output on /dev/null, serves
# every test, and wineboot starts Wine's services here too, once, before the
# tests run in parallel.
set -eu
action=$1
wineserver=$2
shift 2
case $action in
start)
    mkdir -p "$WINEPREFIX"
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$@" wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: wine_fixture.sh start|stop WINESERVER [WINE...]" >&2
    exit 2
    ;;
esac
