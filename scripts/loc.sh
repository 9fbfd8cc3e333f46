#!/usr/bin/env bash
# Counts non-blank lines of C++, CMake and Python, product against tests,
# per top-level folder and overall. Tests are everything under tests/ and
# any file elsewhere whose name marks it as a test; all the rest is
# product. With --max RATIO, exits 1 when tests / product is above RATIO.
set -euo pipefail
cd "$(dirname "$0")/.."
max=""
if [[ "${1:-}" == "--max" ]]; then max="$2"; fi

printf "%-20s %8s %8s\n" folder product tests
git ls-files --cached --others --exclude-standard |
    grep -E '(\.(cpp|cc|cxx|h|hpp|py|pyi|cmake)|CMakeLists\.txt|\.cmake\.in)$' |
    while read -r f; do
        [[ -f "$f" ]] || continue
        n=$(grep -c '[^[:space:]]' "$f" || true)
        kind=product
        if [[ "$f" == tests/* || "$(basename "$f")" =~ (^test_|_test\.|Test\.) ]]; then
            kind=tests
        fi
        echo "$f $kind $n"
    done |
    awk -v max="$max" '
        {
            split($1, parts, "/")
            folder = (index($1, "/") ? parts[1] : ".")
            if (folder == "tests" && index(substr($1, 7), "/")) folder = "tests/" parts[2]
            lines[folder, $2] += $3; folders[folder] = 1; total[$2] += $3
        }
        END {
            for (f in folders)
                printf "%-20s %8d %8d\n", f, lines[f, "product"], lines[f, "tests"] | "sort"
            close("sort")
            ratio = total["product"] ? total["tests"] / total["product"] : 0
            printf "%-20s %8d %8d\nratio tests/product: %.3f\n", "all", total["product"], total["tests"], ratio
            if (max != "" && ratio > max + 0) {
                printf "tests exceed %.2f of the product code\n", max
                exit 1
            }
        }'
