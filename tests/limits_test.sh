#!/usr/bin/env bash
# Runs natjoin under memory and process limits and checks every ending: status
# 0 with the exact output of an unlimited run, or status 1 with one of the
# stages' messages and an empty output file; never a signal, and nothing on
# standard error, which is no terminal here. Threads that cannot be started
# (ulimit -u, or no memory for their stacks) must leave the work to the
# threads there are.
#
#   limits_test.sh NATJOIN
#
# Exit status: 0 pass, 1 fail, 2 usage error.
set -u

if [ $# -ne 1 ]; then
  echo "usage: limits_test.sh NATJOIN" >&2
  exit 2
fi
natjoin=$1
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
failures=0

# A three-line input, and one of 2 x 60,000 rows, large enough for the
# stages to cut it into pieces for several threads and to write the copy
# of the input on a thread of its own.
printf 'join(A)\nA(a int)\n1\n' >"$work/tiny.txt"
python3 - "$work/large.txt" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write("join(A, B)\n\nA(k int, a char(12))\n")
    f.writelines("%d,'a%d'\n" % (i, i * 7 % 60000) for i in range(60000))
    f.write("\nB(b char(12), k int)\n")
    f.writelines("'b%d',%d\n" % (i, (i * 13) % 60000) for i in range(60000))
PY
chmod 644 "$work"/*.txt
for input in tiny large; do
  "$natjoin" "$work/$input.txt" "$work/$input.expected" || { echo "$input: no output"; exit 1; }
done

# check NAME INPUT STATUS: the ending of the run that left its files in $work/run.*.
check() {
  local name=$1 input=$2 status=$3
  local said
  said=$(cat "$work/run.stdout")
  if [ "$status" -eq 0 ] && cmp -s "$work/run.out" "$work/$input.expected" && [ -z "$said" ]; then
    :
  elif [ "$status" -eq 1 ] && [ ! -s "$work/run.out" ] && [ "$(wc -l <"$work/run.stdout")" -ge 1 ]; then
    :
  else
    echo "FAIL $name on $input: status $status, stdout: $said"
    failures=$((failures + 1))
  fi
  if [ -s "$work/run.stderr" ]; then
    echo "FAIL $name on $input: standard error: $(head -c 300 "$work/run.stderr")"
    failures=$((failures + 1))
  fi
}

# Below about 8 MB of address space the loader itself cannot map the C++
# library, so the limits start above that.
for input in tiny large; do
  for kind in v d; do
    for kb in 10000 15000 20000 30000 40000 60000 80000 100000 150000; do
      (ulimit -"$kind" "$kb" && exec "$natjoin" "$work/$input.txt" "$work/run.out") \
        >"$work/run.stdout" 2>"$work/run.stderr"
      check "ulimit -$kind $kb" "$input" $?
    done
  done
done

# A limit of processes binds only a user other than root: the runs go to
# nobody, where setpriv can make them so. nobody runs a copy of natjoin in a
# folder of its own, where it may write, wherever the build lies. The run
# has no thread but its own (ulimit -u 1) or one more: it must end with the
# whole output all the same.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  mkdir "$work/nobody" && cp "$natjoin" "$work/nobody/natjoin" && chown 65534:65534 "$work/nobody"
  for input in tiny large; do
    for procs in 1 2; do
      rm -f "$work/nobody/run.out" "$work/run.out"
      setpriv --reuid=65534 --regid=65534 --clear-groups bash -c \
        "ulimit -u $procs && exec \"$work/nobody/natjoin\" \"$work/$input.txt\" \"$work/nobody/run.out\"" \
        >"$work/run.stdout" 2>"$work/run.stderr"
      status=$?
      [ ! -e "$work/nobody/run.out" ] || mv "$work/nobody/run.out" "$work/run.out"
      check "ulimit -u $procs" "$input" "$status"
      if [ "$status" -ne 0 ]; then
        echo "FAIL ulimit -u $procs on $input: status $status, not the whole output"
        failures=$((failures + 1))
      fi
    done
  done
fi

# A small input starts no thread at all, the writer of the copy of the
# input included: every piece of its work is the only one.
if command -v strace >/dev/null; then
  strace -f -e trace=clone,clone3 -o "$work/trace" "$natjoin" "$work/tiny.txt" "$work/run.out"
  if grep -q clone "$work/trace"; then
    echo "FAIL a three-line input started a thread: $(grep clone "$work/trace" | head -c 300)"
    failures=$((failures + 1))
  fi
fi

[ "$failures" -eq 0 ] || exit 1
