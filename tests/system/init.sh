#!/bin/sh
# /init of the system-test initramfs (busybox). Loads the modules the kernel
# command line names (zr.modules=NAME: /lib/modules/NAME.list, in order, with
# their parameters), runs what it asks for (zr.run=scene,sample,...: see the
# end), asks qemu-session.py over the serial console for screendumps and
# input, sends files back, and powers off. run-system-tests checks them.
/bin/busybox --install -s /bin
export PATH=/bin
# The library's causes and grants in English on the programs' stderr (the
# demo runs without: its output, stderr included, must stay empty).
export ZR_DEBUG=1
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
stty -echo -onlcr 2>/dev/null

# Hands the framebuffer over: fbcon would draw text and a blinking cursor.
console_off() { for bind in /sys/class/vtconsole/vtcon*/bind; do echo 0 > "$bind"; done; }
uptime_note() { echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: $*"; }
# Sends each /tmp/NAME to the host as OUT/NAME.
send_file() { for f in "$@"; do echo "@@zr file $f"; base64 "/tmp/$f"; echo "@@zr end"; done; }  # NAME...
# Waits until the host has done REQUEST: screendump NAME, hmp ..., qmp ...
host() { echo "@@zr $*"; read -r _; }  # REQUEST
screendump() { host screendump "$1"; }
cmdline_value() {  # KEY DEFAULT
    value=$(tr ' ' '\n' < /proc/cmdline | sed -n "s/^$1=//p" | head -1)
    echo "${value:-$2}"
}
load_modules() {  # LIST
    while read -r module params; do
        # shellcheck disable=SC2086 # the parameters are words
        insmod "/lib/modules/$module" $params || echo "@@zr insmod $module failed"
    done < "/lib/modules/$1.list"
    # Input's modules bring no display.
    [ "$1" = input ] || wait_for /dev/dri/card0 || echo "@@zr no /dev/dri/card0"
}
drm_driver() { grep DRIVER= /sys/class/drm/card0/device/uevent 2>/dev/null; }

# Runs COMMAND every 50 ms until it succeeds, at most TRIES times; gives up
# at once when it returns 3.
poll() {  # TRIES COMMAND...
    left=$1
    shift
    while :; do
        "$@"
        case $? in 0) return 0 ;; 3) return 1 ;; esac
        left=$((left - 1))
        [ "$left" -gt 0 ] || return 1
        sleep 0.05
    done
}
there() { [ -e "$1" ] && return 0; [ -n "${2:-}" ] && ! kill -0 "$2" 2>/dev/null && return 3; return 1; }
ended() { [ ! -e "/proc/$1" ] || grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }  # a zombie has ended
has_line() { sed -n "${3:+/^$3\$/,\$}p" "$1" 2>/dev/null | grep -q -E "$2"; }
# FILE exists within 60 s, unless process PID ended before.
wait_for() { poll 1200 there "$@"; }  # FILE [PID]
# Process PID ends within 10 s (or TRIES times 50 ms).
wait_end() { poll "${2:-200}" ended "$1"; }  # PID [TRIES]
# A line of FILE matches the extended PATTERN within 30 s (after the line
# "mark", when given).
wait_line() { poll 600 has_line "$@" || { echo "@@zr no line '$2' in $1"; return 1; }; }  # FILE PATTERN [mark]

# The mode of the active virtual terminal and of tty1, one word each.
vt_modes() {
    echo "tty0=$(zr-tty mode /dev/tty0 | cut -d' ' -f2- | tr ' ' _) tty1=$(zr-tty mode /dev/tty1 | cut -d' ' -f2- | tr ' ' _)"
}

# Starts PROGRAM in the background as run NAME (output in /tmp/NAME.out and
# .err), telling it to create /tmp/NAME.ready once it shows its picture and
# to stop once /tmp/NAME.stop exists; "pid" is its pid. Returns whether it
# became ready.
start() {  # NAME PROGRAM [options]
    rm -f "/tmp/$1.ready" "/tmp/$1.stop"
    run_name=$1
    shift
    "$@" --ready "/tmp/$run_name.ready" --until "/tmp/$run_name.stop" > "/tmp/$run_name.out" 2> "/tmp/$run_name.err" &
    pid=$!
    wait_for "/tmp/$run_name.ready" "$pid"
}
# Tells run NAME (process $pid) to stop, kills it when still there 10 s later
# (then fails), and writes its status to /tmp/NAME.status.
finish() {  # NAME
    touch "/tmp/$1.stop"
    hung=0
    wait_end "$pid" || { hung=1; kill -KILL "$pid"; }
    wait "$pid"
    echo "$?" > "/tmp/$1.status"
    return $hung
}

# Text written to the console while held runs (see fb-console), and the
# virtual terminals' modes then and after, in NAME.vt.
held_text=

# zr-scene on DEVICE holds its picture for screendump NAME, then ends; the
# screendump NAME-after shows what the display went back to. Its status,
# output, error lines and the hash of the buffer it drew go to the host.
held() {  # NAME DEVICE [zr-scene options]
    n=$1 device=$2
    shift 2
    if start "$n" zr-scene --dump "/tmp/$n.raw" --device "$device" "$@" /data; then
        if [ -n "$held_text" ]; then
            printf '%s\r\n' "$held_text" "$held_text" "$held_text" > /dev/tty1
            echo "during $(vt_modes)" > "/tmp/$n.vt"
        fi
        # The framebuffer emulation of DRM drivers copies what was written
        # through its mapping to the screen a moment later (deferred I/O, 50 ms).
        sleep 0.2
        screendump "$n"
    fi
    # The kernel gives the display back to its console when the last file of
    # a DRM node closes; held open here, only the program's own restore of
    # the output shows in NAME-after.
    case $device in /dev/dri/*) exec 3< "$device" ;; esac
    finish "$n"
    sleep 0.2
    screendump "$n-after"
    exec 3<&-
    if [ -n "$held_text" ]; then
        echo "after $(vt_modes)" >> "/tmp/$n.vt"
        send_file "$n.vt"
    fi
    if [ -e "/tmp/$n.raw" ]; then sha256sum < "/tmp/$n.raw" | cut -d' ' -f1; fi > "/tmp/$n.sha256"
    rm -f "/tmp/$n.raw"
    send_file "$n.status" "$n.err" "$n.out" "$n.sha256"
}

# The demo on /dev/fb for SECONDS, screendump NAME while it runs; whether it
# was still running then.
demo() {  # NAME SECONDS
    ZR_DEBUG=0 zr-sample > "/tmp/$1.out" 2>&1 &
    pid=$!
    sleep "$2"
    screendump "$1"
    if kill -0 "$pid" 2>/dev/null; then echo running; else echo exited; fi > "/tmp/$1.status"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    send_file "$1.status" "$1.out"
}

# zr-frames on the DRM node; with "second", another zr-scene then opens it
# while zr-frames holds it. The host takes 100 screendumps NAME-NNN.png.
flicker() {  # NAME second|alone [zr-frames options]
    n=$1 second=$2
    shift 2
    : > "/tmp/$n-second.out"
    : > "/tmp/$n-second.err"
    echo none > "/tmp/$n-second.status"
    if start "$n" zr-frames --device /dev/dri/card0 "$@"; then
        if [ "$second" = second ]; then
            timeout 60 zr-scene --device /dev/dri/card0 /data > "/tmp/$n-second.out" 2> "/tmp/$n-second.err"
            echo "$?" > "/tmp/$n-second.status"
        fi
        host screendumps "$n" 100
    fi
    finish "$n"
    send_file "$n.status" "$n.err" "$n.out" "$n-second.status" "$n-second.out" "$n-second.err"
}

# zr-frames --console on the DRM node, ended by ENDING: "stop" (--until),
# TERM or INT (the signal while it runs), or INT-ignored (the signal, then
# --until). Appends to /tmp/vt-mode.log "CASE before|during|after
# tty0=MODE tty1=MODE", "CASE status N" and its standard error.
vt_log() { echo "$vc $*" >> /tmp/vt-mode.log; }
vt_case() {  # CASE ENDING [zr-frames options]
    vc=$1 ending=$2
    shift 2
    vt_log before "$(vt_modes)"
    if start "vt-$vc" zr-frames --device /dev/dri/card0 --console "$@"; then
        vt_log during "$(vt_modes)"
        case $ending in
            stop) ;;
            INT-ignored)
                kill -INT "$pid"
                sleep 0.5
                if wait_end "$pid" 0; then vt_log ended by the signal; fi
                vt_log signalled "$(vt_modes)"
                ;;
            *) kill "-$ending" "$pid" ;;
        esac
    else
        vt_log never ready
    fi
    finish "vt-$vc" || vt_log hung
    vt_log status "$(cat "/tmp/vt-$vc.status")"
    vt_log after "$(vt_modes)"
    sed "s/^/$vc err: /" "/tmp/vt-$vc.err" >> /tmp/vt-mode.log
}

# zr-frames following the terminal's switches on the DRM node: screendumps
# NAME-before; after chvt 2 NAME-away; a second zr-scene on the node
# meanwhile (NAME-second, NAME-second-after once it has ended); chvt 1 and,
# once zr-frames has shown its picture again, NAME-back. Statuses and
# standard error of both go to the host.
vt_switch() {  # NAME [zr-frames options]
    n=$1
    shift
    rm -f /tmp/left /tmp/back
    echo none > "/tmp/$n-second.status"
    : > "/tmp/$n-second.err"
    if start "$n" zr-frames --device /dev/dri/card0 --console "$@" --left /tmp/left --back /tmp/back; then
        first=$pid
        sleep 0.2
        screendump "$n-before"
        # chvt waits for the switch: bounded, should the answer never come.
        timeout 20 chvt 2 || echo "chvt 2 failed or timed out" >> "/tmp/$n.err"
        if wait_for /tmp/left "$first"; then
            sleep 0.3
            screendump "$n-away"
            start "$n-second" zr-scene --device /dev/dri/card0 /data && sleep 0.2 && screendump "$n-second"
            finish "$n-second"
            sleep 0.2
            screendump "$n-second-after"
        fi
        timeout 20 chvt 1 || echo "chvt 1 failed or timed out" >> "/tmp/$n.err"
        pid=$first
        wait_for /tmp/back "$pid" && sleep 0.2 && screendump "$n-back"
    fi
    finish "$n"
    send_file "$n.status" "$n.err" "$n-second.status" "$n-second.err"
}

# The tablet (QMP input-send-event) at X Y of 0 .. 32767 until paint's log
# /tmp/NAME.log says "motion PX ..."; a left click, each change waited for:
# libinput holds a button's change back a moment (debouncing), longer than
# TCG's pace between requests.
point() {  # NAME X Y PX
    host qmp '{"execute": "input-send-event", "arguments": {"events": [{"type": "abs", "data": {"axis": "x", "value": '"$2"'}}, {"type": "abs", "data": {"axis": "y", "value": '"$3"'}}]}}'
    wait_line "/tmp/$1.log" "^motion $4 "
}
click() {  # NAME
    for down in true false; do
        host qmp '{"execute": "input-send-event", "arguments": {"events": [{"type": "btn", "data": {"down": '$down', "button": "left"}}]}}'
        wait_line "/tmp/$1.log" "^button-$([ $down = true ] && echo down || echo up) "
    done
}
# The middle (clicked), the far edge and a quarter across, and ends paint:
# its x at each.
tablet_moves() {  # NAME X-MIDDLE X-EDGE X-QUARTER
    point "$1" 16384 8192 "$2"
    click "$1"
    point "$1" 32767 32767 "$3"
    point "$1" 8192 24576 "$4"
    paint_end "$1"
}

# paint --log on $paint_device (default /dev/fb0) into /tmp/NAME.log
# (appended: the script marks it too) until it has a device with
# capabilities CAPS; "paint_pid" is its pid.
paint_log() {  # NAME CAPS [paint options]
    log=/tmp/$1.log caps=$2
    shift 2
    : > "$log"
    timeout 90 paint --log "$@" "${paint_device:-/dev/fb0}" >> "$log" 2>&1 &
    paint_pid=$!
    wait_line "$log" "^device-added [0-9]+ $caps "
    sleep 0.5
}
paint_end() {  # NAME: Ctrl-Q ends it
    host hmp sendkey ctrl-q
    wait "$paint_pid"
    echo "status $?" >> "/tmp/$1.log"
}

input_run() {
    mkdir -p /run/udev
    systemd-udevd --daemon --resolve-names=never 2>/tmp/udevd.err
    udevadm trigger --action=add --subsystem-match=input
    udevadm settle --timeout=30
    uptime_note "udev settled, $(ls /dev/input | tr '\n' ' ')"
    # Held open, tty1 keeps what reaches it; one key with no program shows the
    # count works.
    sleep 100000 < /dev/tty1 &
    holder=$!
    zr-tty queue --flush /dev/tty1 > /dev/null
    host hmp sendkey x
    sleep 1
    echo "before $(zr-tty queue /dev/tty1)" > /tmp/tty.log
    for layout in us de; do
        zr-tty queue --flush /dev/tty1 > /dev/null
        export XKB_DEFAULT_LAYOUT=$layout
        paint_log "keys-$layout" 1
        for key in a shift-2 y z; do host hmp sendkey "$key"; done
        wait_line "/tmp/keys-$layout.log" '^key-down 44 '
        paint_end "keys-$layout"
        sleep 0.5
        echo "$layout $(zr-tty queue /dev/tty1)" >> /tmp/tty.log
    done
    unset XKB_DEFAULT_LAYOUT
    kill "$holder"

    paint_log tablet 2
    tablet_moves tablet 400 799 200
    # Turned a quarter clockwise, the panel's (400, 150) is the picture's
    # (150, 399) and its (200, 450) the picture's (450, 599).
    paint_log tablet-90 2 --rotate 90
    point tablet-90 16384 8192 150
    point tablet-90 8192 24576 450
    paint_end tablet-90

    rm -f /tmp/touch-ready /tmp/touch-go /tmp/touch-stop
    zr-uinput-touch /tmp/touch-ready /tmp/touch-go /tmp/touch-stop 2> /tmp/uinput.err &
    touch_pid=$!
    wait_for /tmp/touch-ready "$touch_pid"
    udevadm settle --timeout=30
    paint_log touch 4 --pointercal /data/pointercal
    touch /tmp/touch-go
    wait_line /tmp/touch.log '^touch-up 0'
    paint_end touch
    touch /tmp/touch-stop
    wait "$touch_pid"
    cat /tmp/uinput.err >> /tmp/touch.log

    paint_log hotplug 2
    echo hotplugged >> /tmp/hotplug.log
    host hmp device_add virtio-keyboard-pci,id=kbd2
    wait_line /tmp/hotplug.log '^device-added [0-9]+ 1 ' hotplugged
    sleep 0.5
    host hmp sendkey b
    wait_line /tmp/hotplug.log '^key-down 48 '
    host hmp device_del kbd2
    wait_line /tmp/hotplug.log '^device-removed ' hotplugged
    paint_end hotplug

    ZR_VFB_INPUT=/data/paint.script timeout 90 paint /dev/fb0 > /tmp/paint.out 2>&1
    echo "$?" > /tmp/paint.status
    sleep 0.2
    screendump paint

    chmod 600 /dev/input/event*
    began=$(cut -d. -f1 /proc/uptime)
    su -s /bin/sh -c 'ZR_DEBUG=1 /bin/paint /dev/fb0' nobody > /tmp/access.log 2>&1
    echo "status $?" >> /tmp/access.log
    echo "seconds $(($(cut -d. -f1 /proc/uptime) - began))" >> /tmp/access.log

    # A second screen size: bochs's DRM driver takes the VGA device over from
    # vesafb at the device's preferred mode (qemu-session.py --size), and the
    # tablet is mapped to that.
    chmod 660 /dev/input/event*
    load_modules bochs
    paint_device=/dev/dri/card0
    paint_log tablet-drm 2
    tablet_moves tablet-drm 512 1023 256
    echo "drm $(drm_driver) modes $(head -1 /sys/class/drm/card0-*/modes | tr '\n' ' ')" >> /tmp/tablet-drm.log
    paint_device=

    # Through a seat manager: seatd (not bound to a terminal) lets the user
    # nobody open what it may not itself, and paint asks it by libseat.
    chmod 600 /dev/input/event*
    chmod 666 /dev/fb0
    SEATD_VTBOUND=0 seatd -g nogroup -l info 2> /tmp/seatd.err &
    seatd_pid=$!
    wait_for /run/seatd.sock "$seatd_pid" || echo "@@zr seatd did not start"
    : > /tmp/tablet-seat.log
    timeout 90 su -s /bin/sh -c 'LIBSEAT_BACKEND=seatd ZR_DEBUG=1 exec /bin/paint --log /dev/fb0' nobody \
        >> /tmp/tablet-seat.log 2>&1 &
    paint_pid=$!
    wait_line /tmp/tablet-seat.log '^device-added [0-9]+ 2 '
    sleep 0.5
    point tablet-seat 16384 8192 512
    point tablet-seat 8192 24576 256
    paint_end tablet-seat
    kill "$seatd_pid"
    wait "$seatd_pid"
    cat /tmp/seatd.err >> /tmp/tablet-seat.log

    send_file keys-us.log keys-de.log tty.log tablet.log tablet-90.log tablet-drm.log tablet-seat.log touch.log \
        hotplug.log access.log paint.out paint.status udevd.err
}

uptime_note init
modules=$(cmdline_value zr.modules "")
if [ -n "$modules" ]; then
    load_modules "$modules"
    wait_for /dev/fb0 || echo "@@zr no /dev/fb0"
    uptime_note "modules loaded"
    echo "@@zr drm $(drm_driver)"
else
    console_off
fi
ln -s /dev/fb0 /dev/fb
fb=/sys/class/graphics/fb0
echo "@@zr fb name=$(cat $fb/name) bits=$(cat $fb/bits_per_pixel) size=$(cat $fb/virtual_size) stride=$(cat $fb/stride)"

run=$(cmdline_value zr.run scene)
want() { case ",$run," in *,"$1",*) return 0 ;; esac; return 1; }
cd /data || exit 1
# zr-scene draws its picture on /dev/fb and exits; the output of the
# placeholder depths runs to megabytes: its hash and its distinct lines with
# their counts say enough.
if want scene; then
    timeout 300 zr-scene --dump /tmp/scene.raw /data > /tmp/scene.out 2> /tmp/scene.err
    echo "$?" > /tmp/scene.status
    sha256sum < /tmp/scene.raw | cut -d' ' -f1 > /tmp/scene.sha256
    sha256sum < /tmp/scene.out | cut -d' ' -f1 > /tmp/scene.out.sha256
    sort /tmp/scene.out | uniq -c > /tmp/scene.out.lines
    send_file scene.status scene.err scene.sha256 scene.out.sha256 scene.out.lines
    screendump scene
fi
want sample && demo sample "$(cmdline_value zr.sample_seconds 5)"
if want console; then
    printf '\033[2J\033[Hzr system test: the console\n' > /dev/tty1
    sleep 0.2
    screendump console
fi
want drm-scene && held drm-scene /dev/dri/card0
want drm-double && held drm-double /dev/dri/card0 --double
# A program written before zr_present: zr_init, draw, never present.
want drm-legacy && held drm-legacy /dev/dri/card0 --no-present
want drm-sample && { ln -sf /dev/dri/card0 /dev/fb; demo drm-sample 3; ln -sf /dev/fb0 /dev/fb; }
want tear-double && flicker tear-double second --double
want tear-front && flicker tear-front alone
want tear-shadow && flicker tear-shadow alone --double --shadow
if want vt-mode; then
    : > /tmp/vt-mode.log
    vt_case exit stop
    vt_case sigterm TERM
    vt_case sigint INT --default-sigint
    vt_case own-sigterm TERM --own-sigterm 7
    # As the shell starts it in the background, with SIGINT ignored: the
    # signal must end nothing and leave the console in graphics mode.
    vt_case int-ignored INT-ignored
    send_file vt-mode.log
fi
want vt-switch && { vt_switch vt-double --double; vt_switch vt-front; }
want input && input_run
# zr-scene --console on /dev/fb0 with text written to tty1 while it holds its
# picture; then without --console, where the text must show.
if want fb-console; then
    held_text='zr system test: text on the console'
    held fb-console /dev/fb0 --console
    held fb-text /dev/fb0
    held_text=
fi
want fb-double && { console_off; held fb-double /dev/fb0 --double --vsync; }
if want drm-rot; then
    held drm-rot90 /dev/dri/card0 --rotate 90
    held drm-rot180 /dev/dri/card0 --rotate 180 --double
    held drm-rot270 /dev/dri/card0 --rotate 270
fi
want fb-rot && { console_off; for d in 90 180 270; do held "fb-rot$d" /dev/fb0 --rotate "$d"; done; }

uptime_note done
echo "@@zr done"
poweroff -f
