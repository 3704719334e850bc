#!/usr/bin/env bash
# Fails when a built library or plug-in can start a program other than
# through the command runner: no reference to system, popen or the exec
# family in any shared library, and in the static libraries none to
# posix_spawn either outside the runner's own object.
#
#   check_program_starts.sh BUILD_DIR
set -u
build=$1
shell_like='^(system|popen|execl|execlp|execle|execv|execvp|execvpe|execve)$'
spawn='^(posix_spawn|posix_spawnp)$'
status=0
checked=0

# Stand-ins for the platform (sim/) and benchmarks are no deliverables.
libs() { find "$build" -name "$1" -not -path '*/sim/*' -not -path '*/bench/*' -not -path '*/_deps/*' | sort; }

for so in $(libs '*.so'); do
  case $(basename "$so") in *sim*.so) continue ;; esac
  bad=$(nm -D --undefined-only "$so" | awk '{print $NF}' | sed 's/@.*//' | grep -E "$shell_like" || true)
  checked=$((checked + 1))
  if [ -n "$bad" ]; then
    echo "$so refers to:" $bad; status=1
  fi
done
for a in $(libs '*.a'); do
  # "archive:object: U symbol" per reference.
  refs=$(nm -A --undefined-only "$a" 2>/dev/null | awk '{print $1, $NF}' | sed 's/@[^ ]*$//')
  checked=$((checked + 1))
  bad=$(echo "$refs" | awk -v sh="$shell_like" -v sp="$spawn" '$2 ~ sh || ($2 ~ sp && $1 !~ /command\.cpp\.o:$/)')
  if [ -n "$bad" ]; then
    echo "$a:"; echo "$bad"; status=1
  fi
done
[ $checked -gt 0 ] || { echo "no libraries found under $build"; exit 1; }
[ $status -eq 0 ] && echo "$checked libraries: programs start only through the command runner"
exit $status
