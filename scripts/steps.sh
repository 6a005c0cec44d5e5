# Sourced by scripts/check.sh and scripts/test_all.sh: names each step and ends with the time
# every step took.
timings=()
step() {
  echo "== $1"
  step_name=$1
  step_start=$SECONDS
}
step_end() { timings+=("$(printf '%5ds  %s' $((SECONDS - step_start)) "$step_name")"); }
print_timings() {
  echo
  echo "== Timings"
  printf '%s\n' "${timings[@]}"
  printf '%5ds  all\n' "$SECONDS"
}
