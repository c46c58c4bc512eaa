#!/bin/sh
# /init of the system-test initramfs (busybox). Loads the display drivers
# the kernel command line names (zr.modules=bochs or virtio: the modules
# listed in /lib/modules/NAME.list, in order, with their parameters), runs
# what it asks for (zr.run=scene,sample,...), reports over the serial console
# to qemu-session.py and powers off.
#   zr.run=scene    /bin/zr-scene draws its picture; its stdout, stderr,
#                   exit status and the hash of the screen memory are sent
#                   back, then the host takes a screendump "scene".
#   zr.run=sample   the demo runs from /data for zr.sample_seconds (default
#                   5); the host takes a screendump "sample" while it runs.
# The display paths (DRM node /dev/dri/card0, framebuffer /dev/fb0); for
# each, zr-scene holds its picture while the host takes NAME.png, then the
# host takes NAME-after.png once it has exited (see held below):
#   zr.run=console      text on the console, screendump "console"
#   zr.run=drm-scene    zr-scene on the DRM node
#   zr.run=drm-double   the same, double-buffered
#   zr.run=drm-legacy   the same as a program written before zr_present:
#                       zr_init, draw, never present
#   zr.run=drm-sample   the demo on the DRM node (/dev/fb linked to it) for
#                       3 s, screendump "drm-sample"; it never presents
#   zr.run=fb-double    zr-scene double-buffered with vsync on /dev/fb0
#   zr.run=fb-rot       zr-scene turned 90, 180 and 270 degrees on /dev/fb0
#                       (fb-rot90, fb-rot180, fb-rot270)
#   zr.run=drm-rot      the same on the DRM node (drm-rot90, drm-rot180
#                       double-buffered, drm-rot270)
#   zr.run=tear-double  zr-flicker double-buffered on the DRM node; while it
#                       runs a second zr-scene opens the node, then the host
#                       takes 100 screendumps at random moments
#   zr.run=tear-front   zr-flicker on the DRM node's visible buffer, 100
#                       screendumps
#   zr.run=tear-shadow  zr-flicker double-buffered over a shadow in system
#                       memory (--double --shadow), 100 screendumps
#   zr.run=vt-mode      zr-flicker --console on the DRM node, ended by
#                       --until, SIGTERM, SIGINT and SIGTERM to its own
#                       handler: the mode of the virtual terminals (zr-kdmode)
#                       before, while it runs and after, and its status, in
#                       vt-mode.log
#   zr.run=vt-switch    zr-session switched away and back (see vt_switch),
#                       double-buffered (vt-double) and on its visible
#                       buffer (vt-front)
#   zr.run=input        udevd started; paint --log on /dev/fb0 while the
#                       host types (us, then de), points with the tablet,
#                       plugs a keyboard in and out; a uinput touchscreen
#                       with a pointercal file; the bytes waiting in tty1;
#                       paint playing /data/paint.script (screendump
#                       "paint"); paint as the user nobody (access.log)
#   zr.run=fb-console   zr-scene --console on /dev/fb0, with text written to
#                       /dev/tty1 while it holds its picture (screendump
#                       "fb-console"); then the same without --console
#                       ("fb-text"): the text must show there
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
console_off() {
    for bind in /sys/class/vtconsole/vtcon*/bind; do echo 0 > "$bind"; done
}

send_file() {  # NAME FILE: sends FILE to the host as OUT/NAME
    echo "@@zr file $1"
    base64 "$2"
    echo "@@zr end"
}
screendump() {  # NAME: waits until the host has saved the screen
    echo "@@zr screendump $1"
    read -r _
}
cmdline_value() {  # KEY DEFAULT
    read -r cmdline < /proc/cmdline
    for word in $cmdline; do
        case "$word" in "$1="*) echo "${word#*=}"; return ;; esac
    done
    echo "$2"
}

# Waits up to 60 s for FILE to exist; fails early when process PID (if
# given) has ended without it.
wait_for() {  # FILE [PID]
    tries=0
    while [ ! -e "$1" ]; do
        if [ -n "${2:-}" ] && ! kill -0 "$2" 2>/dev/null; then return 1; fi
        tries=$((tries + 1))
        [ "$tries" -le 1200 ] || return 1
        sleep 0.05
    done
}

# The mode of the active virtual terminal and of tty1, one word each.
vt_modes() {
    echo "tty0=$(zr-kdmode /dev/tty0 | cut -d' ' -f2- | tr ' ' _) tty1=$(zr-kdmode /dev/tty1 | cut -d' ' -f2- | tr ' ' _)"
}

# Waits up to 10 s (or TRIES times 50 ms) for process PID to end (a zombie
# has ended).
wait_end() {  # PID [TRIES]
    tries=0
    while [ -e "/proc/$1" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -le "${2:-200}" ] || return 1
        sleep 0.05
    done
}

# Text written to the console while held runs (see fb-console), and the
# virtual terminals' modes then and after, in NAME.vt.
held_text=

# zr-scene on DEVICE holds its picture for screendump NAME, then ends; the
# screendump NAME-after shows what the display went back to. Its status,
# output, error lines and the hash of the buffer it drew go to the host.
held() {  # NAME DEVICE [zr-scene options]
    name=$1 device=$2
    shift 2
    rm -f /tmp/ready /tmp/stop
    zr-scene --dump "/tmp/$name.raw" --device "$device" "$@" --ready /tmp/ready --until /tmp/stop /data \
        > "/tmp/$name.out" 2> "/tmp/$name.err" &
    pid=$!
    # sleep: the framebuffer emulation of DRM drivers copies what was
    # written through its mapping to the screen a moment later (deferred
    # I/O, 50 ms).
    if wait_for /tmp/ready "$pid" && [ -n "$held_text" ]; then
        printf '%s\r\n' "$held_text" "$held_text" "$held_text" > /dev/tty1
        echo "during $(vt_modes)" > "/tmp/$name.vt"
    fi
    wait_for /tmp/ready "$pid" && sleep 0.2 && screendump "$name"
    # The kernel gives the display back to its console when the last file of
    # a DRM node closes; held open here, only the program's own restore of
    # the output shows in NAME-after.
    case $device in /dev/dri/*) exec 3< "$device" ;; esac
    touch /tmp/stop
    wait "$pid"
    echo "$?" > "/tmp/$name.status"
    sleep 0.2
    screendump "$name-after"
    exec 3<&-
    if [ -n "$held_text" ]; then
        echo "after $(vt_modes)" >> "/tmp/$name.vt"
        send_file "$name.vt" "/tmp/$name.vt"
    fi
    if [ -e "/tmp/$name.raw" ]; then sha256sum < "/tmp/$name.raw" | cut -d' ' -f1; fi > "/tmp/$name.sha256"
    rm -f "/tmp/$name.raw"
    for f in status err out sha256; do send_file "$name.$f" "/tmp/$name.$f"; done
}

# zr-flicker on DEVICE; with "second", another zr-scene then opens DEVICE
# while zr-flicker holds it. The host takes 100 screendumps NAME-NNN.png.
flicker() {  # NAME DEVICE second|alone [zr-flicker options]
    name=$1 device=$2 second=$3
    shift 3
    rm -f /tmp/ready /tmp/stop
    : > "/tmp/$name-second.out"
    : > "/tmp/$name-second.err"
    echo none > "/tmp/$name-second.status"
    zr-flicker --device "$device" "$@" --ready /tmp/ready --until /tmp/stop > "/tmp/$name.out" 2> "/tmp/$name.err" &
    pid=$!
    if wait_for /tmp/ready "$pid"; then
        if [ "$second" = second ]; then
            timeout 60 zr-scene --device "$device" /data > "/tmp/$name-second.out" 2> "/tmp/$name-second.err"
            echo "$?" > "/tmp/$name-second.status"
        fi
        echo "@@zr screendumps $name 100"
        read -r _
    fi
    touch /tmp/stop
    wait "$pid"
    echo "$?" > "/tmp/$name.status"
    for f in .status .err .out -second.status -second.out -second.err; do send_file "$name$f" "/tmp/$name$f"; done
}

# zr-flicker --console on the DRM node, ended by ENDING: "stop" (--until),
# TERM or INT (the signal while it runs). Appends to /tmp/vt-mode.log
# "CASE before|during|after tty0=MODE tty1=MODE" and "CASE status N"; a
# program still running 10 s after the signal is killed ("CASE hung").
vt_case() {  # CASE ENDING [zr-flicker options]
    vt_name=$1 ending=$2
    shift 2
    rm -f /tmp/ready /tmp/stop
    echo "$vt_name before $(vt_modes)" >> /tmp/vt-mode.log
    zr-flicker --device /dev/dri/card0 --console "$@" --ready /tmp/ready --until /tmp/stop \
        > "/tmp/vt-$vt_name.out" 2> "/tmp/vt-$vt_name.err" &
    pid=$!
    if wait_for /tmp/ready "$pid"; then
        echo "$vt_name during $(vt_modes)" >> /tmp/vt-mode.log
        case $ending in
            stop) touch /tmp/stop ;;
            INT-ignored)
                kill -INT "$pid"
                sleep 0.5
                if wait_end "$pid" 0; then echo "$vt_name ended by the signal" >> /tmp/vt-mode.log; fi
                echo "$vt_name signalled $(vt_modes)" >> /tmp/vt-mode.log
                touch /tmp/stop
                ;;
            *) kill "-$ending" "$pid" ;;
        esac
    else
        echo "$vt_name never ready" >> /tmp/vt-mode.log
        touch /tmp/stop
    fi
    if ! wait_end "$pid"; then
        echo "$vt_name hung" >> /tmp/vt-mode.log
        kill -KILL "$pid"
    fi
    wait "$pid"
    echo "$vt_name status $?" >> /tmp/vt-mode.log
    echo "$vt_name after $(vt_modes)" >> /tmp/vt-mode.log
    sed "s/^/$vt_name err: /" "/tmp/vt-$vt_name.err" >> /tmp/vt-mode.log
}

# zr-session (ZR_INIT_CONSOLE) on the DRM node while the terminal switches
# away and back: screendumps NAME-before; after chvt 2 NAME-away; a second
# zr-scene on the node meanwhile (NAME-second, NAME-second-after once it has
# ended); chvt 1 and, once zr-session has shown its picture again,
# NAME-back. Statuses and standard error of both go to the host.
vt_switch() {  # NAME [zr-session options]
    name=$1
    shift
    rm -f /tmp/ready /tmp/left /tmp/back /tmp/stop /tmp/second-ready /tmp/second-stop
    echo none > "/tmp/$name-second.status"
    : > "/tmp/$name-second.err"
    zr-session --device /dev/dri/card0 "$@" --ready /tmp/ready --left /tmp/left --back /tmp/back \
        --until /tmp/stop > "/tmp/$name.out" 2> "/tmp/$name.err" &
    pid=$!
    if wait_for /tmp/ready "$pid"; then
        sleep 0.2
        screendump "$name-before"
        # chvt waits for the switch: bounded, should the answer never come.
        timeout 20 chvt 2 || echo "chvt 2 failed or timed out" >> "/tmp/$name.err"
        if wait_for /tmp/left "$pid"; then
            sleep 0.3
            screendump "$name-away"
            zr-scene --device /dev/dri/card0 --ready /tmp/second-ready --until /tmp/second-stop /data \
                > "/tmp/$name-second.out" 2> "/tmp/$name-second.err" &
            second=$!
            wait_for /tmp/second-ready "$second" && sleep 0.2 && screendump "$name-second"
            touch /tmp/second-stop
            wait "$second"
            echo "$?" > "/tmp/$name-second.status"
            sleep 0.2
            screendump "$name-second-after"
        fi
        timeout 20 chvt 1 || echo "chvt 1 failed or timed out" >> "/tmp/$name.err"
        wait_for /tmp/back "$pid" && sleep 0.2 && screendump "$name-back"
    fi
    touch /tmp/stop
    if ! wait_end "$pid"; then kill -KILL "$pid"; fi
    wait "$pid"
    echo "$?" > "/tmp/$name.status"
    for f in .status .err -second.status -second.err; do send_file "$name$f" "/tmp/$name$f"; done
}

# Waits up to 30 s for a line of FILE matching the extended PATTERN, after
# the line "mark" when given.
wait_line() {  # FILE PATTERN [mark]
    tries=0
    until sed -n "${3:+/^$3\$/,\$}p" "$1" 2>/dev/null | grep -q -E "$2"; do
        tries=$((tries + 1))
        [ "$tries" -le 600 ] || { echo "@@zr no line '$2' in $1"; return 1; }
        sleep 0.05
    done
}

host() {  # hmp|qmp WORDS: the host runs it on QEMU's monitor or QMP
    echo "@@zr $*"
    read -r _
}

qmp_events() {  # JSON of input events: the host sends them to the tablet
    host qmp '{"execute": "input-send-event", "arguments": {"events": ['"$1"']}}'
}
abs_event() {  # X Y
    qmp_events '{"type": "abs", "data": {"axis": "x", "value": '"$1"'}}, {"type": "abs", "data": {"axis": "y", "value": '"$2"'}}'
}
button_event() {  # true|false
    qmp_events '{"type": "btn", "data": {"down": '"$1"', "button": "left"}}'
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
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: udev settled, $(ls /dev/input | tr '\n' ' ')"
    # Held open, tty1 keeps what reaches it; one key with no program shows the
    # count works.
    sleep 100000 < /dev/tty1 &
    holder=$!
    zr-ttyqueue --flush /dev/tty1 > /dev/null
    host hmp sendkey x
    sleep 1
    echo "before $(zr-ttyqueue /dev/tty1)" > /tmp/tty.log
    for layout in us de; do
        zr-ttyqueue --flush /dev/tty1 > /dev/null
        export XKB_DEFAULT_LAYOUT=$layout
        paint_log "keys-$layout" 1
        for key in a shift-2 y z; do host hmp sendkey "$key"; done
        wait_line "/tmp/keys-$layout.log" '^key-down 44 '
        paint_end "keys-$layout"
        sleep 0.5
        echo "$layout $(zr-ttyqueue /dev/tty1)" >> /tmp/tty.log
    done
    unset XKB_DEFAULT_LAYOUT
    kill "$holder"

    # Each step waits for the one before: libinput holds a button's change
    # back a moment (debouncing), longer than TCG's pace between requests.
    paint_log tablet 2
    abs_event 16384 8192
    wait_line /tmp/tablet.log '^motion 400 '
    button_event true
    wait_line /tmp/tablet.log '^button-down '
    button_event false
    wait_line /tmp/tablet.log '^button-up '
    abs_event 32767 32767
    wait_line /tmp/tablet.log '^motion 799 '

    abs_event 8192 24576
    wait_line /tmp/tablet.log '^motion 200 '
    paint_end tablet
    # Turned a quarter clockwise, the panel's (400, 150) is the picture's
    # (150, 399) and its (200, 450) the picture's (450, 599).
    paint_log tablet-90 2 --rotate 90
    abs_event 16384 8192
    wait_line /tmp/tablet-90.log '^motion 150 '
    abs_event 8192 24576
    wait_line /tmp/tablet-90.log '^motion 450 '
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
    start=$(cut -d. -f1 /proc/uptime)
    su -s /bin/sh -c 'ZR_DEBUG=1 /bin/paint /dev/fb0' nobody > /tmp/access.log 2>&1
    echo "status $?" >> /tmp/access.log
    echo "seconds $(($(cut -d. -f1 /proc/uptime) - start))" >> /tmp/access.log

    # A second screen size: bochs's DRM driver takes the VGA device over from
    # vesafb at the device's preferred mode (qemu-session.py --size), and the
    # tablet is mapped to that.
    chmod 660 /dev/input/event*
    while read -r module params; do
        # shellcheck disable=SC2086 # the parameters are words
        insmod "/lib/modules/$module" $params || echo "@@zr insmod $module failed"
    done < /lib/modules/bochs.list
    wait_for /dev/dri/card0 || echo "@@zr no /dev/dri/card0"
    paint_device=/dev/dri/card0
    paint_log tablet-drm 2
    abs_event 16384 8192
    wait_line /tmp/tablet-drm.log '^motion 512 '
    button_event true
    wait_line /tmp/tablet-drm.log '^button-down '
    button_event false
    wait_line /tmp/tablet-drm.log '^button-up '
    abs_event 32767 32767
    wait_line /tmp/tablet-drm.log '^motion 1023 '
    abs_event 8192 24576
    wait_line /tmp/tablet-drm.log '^motion 256 '
    paint_end tablet-drm
    echo "drm $(cat /sys/class/drm/card0/device/uevent | grep DRIVER=) modes $(head -1 /sys/class/drm/card0-*/modes | tr '\n' ' ')" >> /tmp/tablet-drm.log
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
    abs_event 16384 8192
    wait_line /tmp/tablet-seat.log '^motion 512 '
    abs_event 8192 24576
    wait_line /tmp/tablet-seat.log '^motion 256 '
    paint_end tablet-seat
    kill "$seatd_pid"
    wait "$seatd_pid"
    cat /tmp/seatd.err >> /tmp/tablet-seat.log

    for f in keys-us.log keys-de.log tty.log tablet.log tablet-90.log tablet-drm.log tablet-seat.log touch.log hotplug.log access.log paint.out paint.status udevd.err; do
        send_file "$f" "/tmp/$f"
    done
}

echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: init"
modules=$(cmdline_value zr.modules "")
if [ -n "$modules" ]; then
    while read -r module params; do
        # shellcheck disable=SC2086 # the parameters are words
        insmod "/lib/modules/$module" $params || echo "@@zr insmod $module failed"
    done < "/lib/modules/$modules.list"
    wait_for /dev/dri/card0 || echo "@@zr no /dev/dri/card0"
    wait_for /dev/fb0 || echo "@@zr no /dev/fb0"
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: modules loaded"
    echo "@@zr drm $(cat /sys/class/drm/card0/device/uevent 2>/dev/null | grep DRIVER=)"
else
    console_off
fi
ln -s /dev/fb0 /dev/fb
fb=/sys/class/graphics/fb0
echo "@@zr fb name=$(cat $fb/name) bits=$(cat $fb/bits_per_pixel) size=$(cat $fb/virtual_size) stride=$(cat $fb/stride)"

run=$(cmdline_value zr.run scene)
cd /data || exit 1
case ",$run," in *,scene,*)
    timeout 300 zr-scene --dump /tmp/scene.raw /data > /tmp/scene.out 2> /tmp/scene.err
    echo "$?" > /tmp/scene.status
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: scene drawn"
    sha256sum < /tmp/scene.raw | cut -d' ' -f1 > /tmp/scene.sha256
    send_file scene.status /tmp/scene.status
    send_file scene.err /tmp/scene.err
    send_file scene.sha256 /tmp/scene.sha256
    # The output of the placeholder depths runs to megabytes: a hash of it and
    # its distinct lines with their counts say enough.
    sha256sum < /tmp/scene.out | cut -d' ' -f1 > /tmp/scene.out.sha256
    sort /tmp/scene.out | uniq -c > /tmp/scene.out.lines
    send_file scene.out.sha256 /tmp/scene.out.sha256
    send_file scene.out.lines /tmp/scene.out.lines
    screendump scene
    ;;
esac
case ",$run," in *,sample,*)
    seconds=$(cmdline_value zr.sample_seconds 5)
    ZR_DEBUG=0 /bin/sample > /tmp/sample.out 2>&1 &
    pid=$!
    sleep "$seconds"
    screendump sample
    if kill -0 "$pid" 2>/dev/null; then echo running > /tmp/sample.status; else echo exited > /tmp/sample.status; fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    send_file sample.status /tmp/sample.status
    send_file sample.out /tmp/sample.out
    ;;
esac

case ",$run," in *,console,*)
    printf '\033[2J\033[Hzr system test: the console\n' > /dev/tty1
    sleep 0.2
    screendump console
    ;;
esac
case ",$run," in *,drm-scene,*) held drm-scene /dev/dri/card0 ;; esac
case ",$run," in *,drm-double,*) held drm-double /dev/dri/card0 --double ;; esac
case ",$run," in *,drm-legacy,*) held drm-legacy /dev/dri/card0 --no-present ;; esac
case ",$run," in *,drm-sample,*)
    ln -sf /dev/dri/card0 /dev/fb
    ZR_DEBUG=0 /bin/sample > /tmp/drm-sample.out 2>&1 &
    pid=$!
    sleep 3
    screendump drm-sample
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    ln -sf /dev/fb0 /dev/fb
    send_file drm-sample.out /tmp/drm-sample.out
    ;;
esac
case ",$run," in *,tear-double,*) flicker tear-double /dev/dri/card0 second --double ;; esac
case ",$run," in *,tear-front,*) flicker tear-front /dev/dri/card0 alone ;; esac
case ",$run," in *,tear-shadow,*) flicker tear-shadow /dev/dri/card0 alone --double --shadow ;; esac
case ",$run," in *,vt-mode,*)
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: vt-mode"
    : > /tmp/vt-mode.log
    vt_case exit stop
    vt_case sigterm TERM
    vt_case sigint INT --default-sigint
    vt_case own-sigterm TERM --own-sigterm 7
    # As the shell starts it in the background, with SIGINT ignored: the
    # signal must end nothing and leave the console in graphics mode.
    vt_case int-ignored INT-ignored
    send_file vt-mode.log /tmp/vt-mode.log
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: vt-mode done"
    ;;
esac
case ",$run," in *,vt-switch,*)
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: vt-switch"
    vt_switch vt-double --double
    vt_switch vt-front
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: vt-switch done"
    ;;
esac
case ",$run," in *,input,*) input_run ;; esac
case ",$run," in *,fb-console,*)
    held_text='zr system test: text on the console'
    held fb-console /dev/fb0 --console
    held fb-text /dev/fb0
    held_text=
    echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: fb-console done"
    ;;
esac
case ",$run," in *,fb-double,*)
    console_off
    held fb-double /dev/fb0 --double --vsync
    ;;
esac
case ",$run," in *,drm-rot,*)
    held drm-rot90 /dev/dri/card0 --rotate 90
    held drm-rot180 /dev/dri/card0 --rotate 180 --double
    held drm-rot270 /dev/dri/card0 --rotate 270
    ;;
esac
case ",$run," in *,fb-rot,*)
    console_off
    for degrees in 90 180 270; do held "fb-rot$degrees" /dev/fb0 --rotate "$degrees"; done
    ;;
esac

echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: done"
echo "@@zr done"
poweroff -f
