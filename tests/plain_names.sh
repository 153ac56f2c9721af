#!/bin/sh
# The project explains its behaviour in its own words: no text or file name
# refers to a document behind the code (a word like "speci-fied", a numbered part
# or an issue number). Run from the source tree; lists every offender.
cd "$1" || exit 2
words='(^|[^a-z])speci[f]i(ed|cation)|\bspec\.md\b|\bPart [0-9]|\b[Ii]ssue #?[0-9]'
found=$(grep -rIinE "$words" --exclude-dir=.git --exclude-dir='build*' . ;
        find . -path ./.git -prune -o -path './build*' -prune -o -iname '*speci[f]i*' -print)
[ -z "$found" ] && exit 0
echo "$found"
exit 1
