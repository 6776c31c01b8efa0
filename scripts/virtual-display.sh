# Sourced by the scripts that show the panel where there is no display.
# start_virtual_display DIR: starts Xvfb (its log in DIR/xvfb.log), sets xvfb_pid and
# virtual_display (":N"); returns 1 when it did not come up within 10 s.
start_virtual_display() {
  local dir=$1
  rm -f "$dir/display"
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$dir/display" \
    >"$dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$dir/display" ] && break
    sleep 0.1
  done
  [ -s "$dir/display" ] || return 1
  virtual_display=":$(cat "$dir/display")"
}
