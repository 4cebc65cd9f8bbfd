#!/usr/bin/env bash
# Prints the module graph of src/ from its #include lines and checks it
# against the layering
#   platform <- common <- kernels <- filters <- pipeline <- capture, display <- shell <- entry
# (a module includes only modules left of it; capture and display do not
# include each other). Any include that goes the other way fails the check,
# and modules that reach each other through such edges are printed as cycles.
#
# Usage: scripts/include_graph.sh [--dot]
#   --dot  print the graph in Graphviz form instead (edges against the layering red)
# Exit status: 0 when every edge points down the layers, 1 if not.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

mode="${1:-}"
if [ -n "$mode" ] && [ "$mode" != "--dot" ]; then
    echo "usage: $0 [--dot]" >&2
    exit 2
fi

# One line per include of another folder of src/: "from to file".
edges() {
    find src -type f \( -name '*.cpp' -o -name '*.h' \) | sort | while read -r file; do
        case "$file" in
            src/platform/entry/*) from=entry ;;  # the executable's entry calls the shell
            *) from="$(echo "$file" | cut -d/ -f2)" ;;
        esac
        sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\)\/.*/\1/p' "$file" | sort -u |
            while read -r to; do
                if [ -d "src/$to" ] && [ "$to" != "$from" ]; then echo "$from $to $file"; fi
            done
    done
}

edges | awk -v mode="$mode" '
BEGIN {
    split("platform common kernels filters pipeline capture display shell entry", order, " ")
    rank["platform"] = 0; rank["common"] = 1; rank["kernels"] = 2; rank["filters"] = 3
    rank["pipeline"] = 4; rank["capture"] = 5; rank["display"] = 5; rank["shell"] = 6; rank["entry"] = 7
}
{
    key = $1 " " $2
    if (!(key in files)) { files[key] = 0; keys[++nkeys] = key }
    files[key]++
    examples[key] = examples[key] (files[key] <= 3 ? " " $3 : "")
    node[$1] = 1; node[$2] = 1
    reach[$1, $2] = 1
}
function upward(a, b) { return !(a in rank) || !(b in rank) || rank[b] >= rank[a] }
END {
    if (mode == "--dot") {
        print "digraph modules {"
        print "  rankdir=BT;"
        for (i = 1; i <= nkeys; ++i) {
            split(keys[i], e, " ")
            style = upward(e[1], e[2]) ? " [color=red]" : ""
            printf "  %s -> %s%s;\n", e[1], e[2], style
        }
        print "}"
        exit 0
    }
    print "Module graph (an edge: the first module includes the second):"
    for (o = 9; o >= 1; --o) {
        a = order[o]
        for (i = 1; i <= nkeys; ++i) {
            split(keys[i], e, " ")
            if (e[1] != a) continue
            mark = upward(e[1], e[2]) ? "  (against the layering)" : ""
            printf "  %-8s -> %-8s %2d file(s)%s\n", e[1], e[2], files[keys[i]], mark
        }
    }
    bad = 0
    for (i = 1; i <= nkeys; ++i) {
        split(keys[i], e, " ")
        if (upward(e[1], e[2])) {
            if (!bad) print "\nEdges against the layering:"
            printf "  %s -> %s:%s\n", e[1], e[2], examples[keys[i]]
            ++bad
        }
    }
    # Cycles: the modules that reach each other (transitive closure).
    for (k in node) for (a in node) if ((a, k) in reach) for (b in node) if ((k, b) in reach) reach[a, b] = 1
    ncyc = 0
    for (o = 1; o <= 9; ++o) {
        a = order[o]
        if (!(a in node) || (a in done) || !((a, a) in reach)) continue
        line = a; done[a] = 1
        for (p = o + 1; p <= 9; ++p) {
            b = order[p]
            if ((b in node) && ((a, b) in reach) && ((b, a) in reach)) { line = line " " b; done[b] = 1 }
        }
        if (!ncyc++) print "\nModules in a cycle (each reaches the others):"
        print "  " line
    }
    if (!ncyc) print "\nNo cycles."
    if (bad) { printf "\n%d edge(s) against the layering: an include must point down the layers.\n", bad; exit 1 }
    print "\nEvery edge points down the layers."
}'
