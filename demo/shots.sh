# shellcheck shell=bash
# Pictures of the running demo, taken by demo/run-unit.sh --shots DIR (sourced
# there: it uses SHOTS, WORK, KIOSK_PID, DEVICE_WEB_PID and start_device_web).
#
# The demo is walked as a person at the unit would, with clicks (xdotool) on
# the buttons of the device's pages. The buttons are found by their colour in
# a picture of the window, not by fixed positions, so the walk also works on
# a larger screen or with other fonts. Each picture is checked for what it
# should show; one that does not is named on stderr.

# The kiosk's main window: the largest visible window of its process,
# as "WIDTHxHEIGHT+X+Y" on the screen.
kiosk_geometry() {
  local w best="" area=0 WIDTH HEIGHT X Y
  for w in $(xdotool search --onlyvisible --pid "$KIOSK_PID" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null | grep -E '^(WIDTH|HEIGHT|X|Y)=[0-9]+$')" ||
      continue
    if [ $((WIDTH * HEIGHT)) -gt $area ]; then
      area=$((WIDTH * HEIGHT))
      best="${WIDTH}x${HEIGHT}+$X+$Y"
    fi
  done
  [ -n "$best" ] && echo "$best"
}

# grab FILE: the screen where the kiosk's window is, with whatever popup is
# over it (a picture of the window alone would leave its popups out).
grab() {
  local geometry
  geometry=$(kiosk_geometry) || return 1
  import -window root -crop "$geometry" +repage -strip "$1" 2>/dev/null
}

# pixel FILE X Y -> "r g b" (0..255); X and Y below 0 count from the
# right and bottom edges.
pixel() {
  local x=$2 y=$3 w h
  read -r w h <<<"$(identify -format '%w %h' "$1")"
  [ "$x" -lt 0 ] && x=$((w + x))
  [ "$y" -lt 0 ] && y=$((h + y))
  convert "$1" -format "%[fx:int(255*p{$x,$y}.r)] %[fx:int(255*p{$x,$y}.g)] %[fx:int(255*p{$x,$y}.b)]" info:
}

# near "r g b" R G B [TOLERANCE]: each channel within TOLERANCE (24 unless
# given) of the expected colour.
near() {
  local r g b d
  read -r r g b <<<"$1"
  for d in $((r - $2)) $((g - $3)) $((b - $4)); do
    [ "${d#-}" -le "${5:-24}" ] || return 1
  done
}

# area_of FILE COLOUR [FUZZ] -> "X Y W H" of the box holding every pixel of
# that colour (give or take FUZZ, 6% unless given); fails when there is none.
area_of() {
  local box
  box=$(convert "$1" -alpha off -fuzz "${3:-6%}" -fill '#ff00ff' -opaque "$2" \
    -fill black +opaque '#ff00ff' -fill white -opaque '#ff00ff' -format '%@' info: 2>/dev/null) || return 1
  [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || return 1
  [ "${BASH_REMATCH[1]}" -gt 10 ] && [ "${BASH_REMATCH[2]}" -gt 10 ] || return 1
  echo "${BASH_REMATCH[3]} ${BASH_REMATCH[4]} ${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
}

# click_colour COLOUR [last]: a click near the top left corner of the first
# button of that colour (the top left one) in the kiosk's window; with
# "last", near the bottom left corner of the last one.
click_colour() {
  local x y w h geometry ox oy
  grab "$WORK/find.png" || return 1
  read -r x y w h <<<"$(area_of "$WORK/find.png" "$1")" || return 1
  [ -n "$x" ] || return 1
  geometry=$(kiosk_geometry) || return 1
  ox=${geometry#*+}
  oy=${ox#*+}
  ox=${ox%%+*}
  if [ "${2:-}" = last ]; then
    xdotool mousemove $((ox + x + 16)) $((oy + y + h - 16)) click 1
  else
    xdotool mousemove $((ox + x + 16)) $((oy + y + 16)) click 1
  fi
}

# popup_window -> the X window of the kiosk's popup or dialog: a visible
# window of its process other than the main window.
popup_window() {
  local w main WIDTH HEIGHT X Y
  main=$(kiosk_geometry) || return 1
  for w in $(xdotool search --onlyvisible --pid "$KIOSK_PID" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null | grep -E '^(WIDTH|HEIGHT|X|Y)=[0-9]+$')" ||
      continue
    [ "${WIDTH}x${HEIGHT}+$X+$Y" = "$main" ] && continue
    if [ "$WIDTH" -le 20 ] || [ "$HEIGHT" -le 20 ]; then continue; fi
    echo "$w"
    return 0
  done
  return 1
}

# popup_box -> "X Y W H" of the kiosk's popup, relative to the main window.
popup_box() {
  local w main ox oy WIDTH HEIGHT X Y
  w=$(popup_window) || return 1
  main=$(kiosk_geometry) || return 1
  ox=${main#*+}
  oy=${ox#*+}
  ox=${ox%%+*}
  eval "$(xdotool getwindowgeometry --shell "$w" | grep -E '^(WIDTH|HEIGHT|X|Y)=[0-9]+$')"
  echo "$((X - ox)) $((Y - oy)) $WIDTH $HEIGHT"
}

# solid_share FILE X Y W H -> how much of that box (in %) has the colour of
# the box's own top left corner.
solid_share() {
  local colour
  colour=$(convert "$1" -crop "$4x$5+$2+$3" +repage -format "%[pixel:p{4,4}]" info:) || return 1
  convert "$1" -crop "$4x$5+$2+$3" +repage -alpha off -fuzz 2% -fill '#ff00ff' -opaque "$colour" \
    -fill black +opaque '#ff00ff' -fill white -opaque '#ff00ff' -format '%[fx:int(100*mean)]' info:
}

# wait_log SECONDS PATTERN: until the kiosk's log has a line matching PATTERN.
wait_log() {
  local i
  for ((i = 0; i < $1 * 5; i++)); do
    grep -q -- "$2" "$WORK/tessalview.log" && return 0
    sleep 0.2
  done
  return 1
}

shot_failed() {
  echo "  NOT as it should be: $*" >&2
  SHOT_FAULTS=$((SHOT_FAULTS + 1))
}

take_shots() {
  SHOT_FAULTS=0
  local rgb device="$SHOTS/demo-device-page.png" popup="$SHOTS/demo-popup.png"
  local error="$SHOTS/demo-error-page.png"
  echo "Pictures of the demo into $SHOTS:"
  : >"$WORK/shots-start"

  # 1. The device's page: its dark blue body below the darker header, the
  # green buttons of its menu.
  for _ in $(seq 60); do
    grep -q '"GET /index.html' "$WORK/device-web.log" 2>/dev/null && break
    sleep 0.5
  done
  sleep 2
  if grab "$device"; then
    rgb=$(pixel "$device" -10 -10)
    if ! near "$rgb" 20 50 74; then
      shot_failed "$device: the page's background is $rgb, not the device page's 20 50 74"
    elif ! area_of "$device" '#2e7d32' >/dev/null; then
      shot_failed "$device: the page's menu buttons are missing"
    else
      echo "  device page:     $device"
    fi
  else
    shot_failed "$device: no kiosk window to take"
  fi

  # 2. A report saved to the USB drive: "Reports", then the report's button,
  # then OK in the kiosk's download dialog; the kiosk's popup says it is
  # done for 3 seconds.
  local saved=0 box="" share bx by bw bh pr pg pb
  if click_colour '#2e7d32' && sleep 2 && click_colour '#1565c0' &&
    wait_log 10 'Download request for'; then
    sleep 1.5
    # OK is the dialog's default button: Return in the dialog.
    local dialog
    dialog=$(popup_window) && xdotool windowfocus "$dialog" 2>/dev/null
    xdotool key Return
    if wait_log 10 'Download complete'; then
      sleep 0.7
      grab "$popup" && saved=1
      box=$(popup_box) || box=""
    fi
  fi
  if [ $saved -eq 0 ]; then
    shot_failed "$popup: the report was not saved (see $WORK/tessalview.log)"
  else
    # The popup: a window of the kiosk's over its main window, which the
    # picture shows as a box of one colour covering most of the popup.
    # It must not be the page's own colour (a picture without the popup).
    read -r bx by bw bh <<<"$box"
    read -r pr pg pb <<<"$(pixel "$popup" -10 -10)"
    if [ -z "$box" ]; then
      shot_failed "$popup: no popup window over the kiosk's window"
    elif near "$(pixel "$popup" $((bx + 4)) $((by + 4)))" "$pr" "$pg" "$pb" 6; then
      shot_failed "$popup: the popup's box ($box) has the page's colour $pr $pg $pb"
    elif share=$(solid_share "$popup" "$bx" "$by" "$bw" "$bh") && [ "$share" -lt 50 ]; then
      shot_failed "$popup: the popup's box ($box) is not in the picture ($share % of one colour)"
    elif ! find "$WORK/usbmnt" -maxdepth 1 -name 'report*.csv' -newer "$WORK/shots-start" -size +0 | grep -q .; then
      shot_failed "$popup: the popup came but no file is on the USB drive"
    else
      echo "  popup:           $popup"
    fi
  fi

  # 3. The device's web server stops, and the reports page's "Back" cannot
  # load the device's page: the connection-error page (its picture has a
  # red band at the top). The popup closes itself first.
  kill "$DEVICE_WEB_PID" 2>/dev/null || true
  local before
  before=$(grep -c 'Load error page' "$WORK/tessalview.log" || true)
  sleep 3
  click_colour '#1565c0' last || true
  local shown=0
  for _ in $(seq 100); do
    [ "$(grep -c 'Load error page' "$WORK/tessalview.log" || true)" -gt "$before" ] && {
      shown=1
      break
    }
    sleep 0.2
  done
  if [ $shown -eq 1 ]; then
    sleep 1.5
    if grab "$error"; then
      rgb=$(pixel "$error" 20 7)
      read -r r g _ <<<"$rgb"
      if [ "$r" -gt 150 ] && [ "$g" -lt 80 ]; then
        echo "  error page:      $error"
      else
        shot_failed "$error: the error picture's red band is $rgb"
      fi
    else
      shot_failed "$error: no kiosk window to take"
    fi
  else
    shot_failed "$error: no error page 20 s after the device's web server stopped"
  fi
  start_device_web
  echo "  (the device's web server runs again; the kiosk's retry brings its page back)"
  [ "$SHOT_FAULTS" -eq 0 ]
}
