# Shared helpers for the bench rows (sourced, not run).
BUILD_DIR=${BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build}
RUNNER=$BUILD_DIR/morvane-lua

# median_ms RUNS COMMAND...: median wall time of a command, in milliseconds
median_ms() {
  perl -MTime::HiRes=time -e '
    my $runs = shift; my @t;
    for (1 .. $runs) {
      my $start = time;
      system { $ARGV[0] } @ARGV;
      push @t, (time - $start) * 1000;
    }
    @t = sort { $a <=> $b } @t;
    printf "%.2f\n", $runs % 2 ? $t[$runs / 2] : ($t[$runs / 2 - 1] + $t[$runs / 2]) / 2;
  ' "$@" 2>/dev/null
}

# calc EXPRESSION: floating-point arithmetic
calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }

# verdict FIGURE OP LIMIT: "met" or "missed"
verdict() { if awk "BEGIN { exit !($1 $2 $3) }"; then echo met; else echo missed; fi; }
