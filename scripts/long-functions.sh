#!/usr/bin/env bash
# Lists every function of the product's C++ files (the .cpp and .h files
# that scripts/loc.sh counts as product: all but the tests, build folders
# being ignored by git) that is longer than 80 lines, or than N with
# --max N, as "file:line  length  name", longest first. Exits 1 when there
# is any, 0 when there is none, 2 when a file could not be measured.
#
# The length is pmccabe's fifth column: the lines from the function's first
# line through the line of its closing brace, comments and blank lines
# included. The line printed is pmccabe's definition line, the one holding
# the function's name.
set -euo pipefail
cd "$(dirname "$0")/.."
max=80
if [[ "${1:-}" == "--max" ]]; then
    if [[ ! "${2:-}" =~ ^[0-9]+$ ]]; then
        echo "usage: $0 [--max N]" >&2
        exit 2
    fi
    max="$2"
fi
if ! command -v pmccabe >/dev/null; then
    echo "pmccabe is missing (Debian package pmccabe; make deps installs it)" >&2
    exit 2
fi

# pmccabe's parser predates C++11 and, without a word, skips or cuts short
# what follows a construct it does not know. Each file is therefore given to
# it with those constructs spelt the old way, on the same lines so that no
# line number moves: `namespace a::b {` as `namespace a { namespace b {`
# (the extra closing braces appended at the end), `enum class` as `enum`,
# noexcept, override, final, [[attributes]] and one-line template heads
# dropped, and a ';' after a file-scope macro call that has none
# (G_DEFINE_TYPE(...), which otherwise reads as an old-style function head).
# shellcheck disable=SC2016
readonly SPELL_OLD='
my @lines = <STDIN>;
my ($depth, $extra) = (0, 0);
for my $i (0 .. $#lines) {
    local $_ = $lines[$i];
    s/\bnoexcept\b(\s*\([^()]*\))?//g;
    s/\b(override|final)\b//g;
    s/\benum\s+(class|struct)\b/enum/g;
    s/\[\[[^\]]*\]\]//g;
    s/^\s*template\s*<.*>\s*$/\n/;
    if ($depth > 0 || /^[A-Z][A-Z0-9_]*\(/) {
        $depth += tr/(// - tr/)//;
        if ($depth <= 0) {
            $depth = 0;
            my ($next) = grep { /\S/ } @lines[$i + 1 .. $#lines];
            s/\)\s*$/);/ unless defined $next && $next =~ /^\s*(->|\.)/;
        }
    }
    if (/^(\s*)namespace\s+([A-Za-z_]\w*(?:::[A-Za-z_]\w*)+)\s*\{(.*)$/) {
        my @parts = split /::/, $2;
        $extra += @parts - 1;
        $_ = $1 . join(" ", map { "namespace $_ {" } @parts) . $3 . "\n";
    }
    print;
}
print "}\n" x $extra;
'

status=0
found=""
while read -r f; do
    [[ -f "$f" ]] || continue
    if ! out=$(perl -e "$SPELL_OLD" <"$f" | pmccabe 2>&1 >/dev/null) || [[ -n "$out" ]]; then
        # pmccabe names its input "stdin"
        echo "pmccabe could not parse $f:" >&2
        printf "%s\n" "${out//\"stdin\"/$f}" >&2
        status=2
    fi
    # columns: modified and plain complexity, statements, first line,
    # length, "stdin(<definition line>): <name>"
    found+=$(perl -e "$SPELL_OLD" <"$f" | pmccabe 2>/dev/null |
        awk -F'\t' -v file="$f" -v max="$max" '
            $5 > max {
                split($6, at, /[()]/)
                printf "%s:%s\t%d\t%s\n", file, at[2], $5, substr($6, index($6, ": ") + 2)
            }')
    found+=$'\n'
done < <(git ls-files --cached --others --exclude-standard | grep -E '\.(cpp|h)$' |
    grep -vE '^tests/|(^|/)(test_[^/]*|[^/]*_test\.[^/]*|[^/]*Test\.[^/]*)$')

found=$(printf "%s" "$found" | grep -v '^$' | sort -t$'\t' -k2,2nr -k1,1 || true)
if [[ -n "$found" ]]; then
    printf "%s\n" "$found" | awk -F'\t' '{ printf "%-44s %5d  %s\n", $1, $2, $3 }'
    echo "$(printf "%s\n" "$found" | wc -l) function(s) over $max lines"
    [[ $status -eq 0 ]] && status=1
else
    echo "no function over $max lines"
fi
exit $status
