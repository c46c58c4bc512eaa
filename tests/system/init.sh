#!/bin/sh
# /init of the system-test initramfs (busybox). Runs what the kernel command
# line asks for (zr.run=scene,sample), reports over the serial console to
# qemu-session.py and powers off.
#   zr.run=scene    /bin/zr-scene draws its picture; its stdout, stderr,
#                   exit status and the hash of the screen memory are sent
#                   back, then the host takes a screendump "scene".
#   zr.run=sample   the demo runs from /data for zr.sample_seconds (default
#                   5); the host takes a screendump "sample" while it runs.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
stty -echo -onlcr 2>/dev/null

# Hand the framebuffer over: fbcon would draw text and a blinking cursor.
for bind in /sys/class/vtconsole/vtcon*/bind; do echo 0 > "$bind"; done
ln -s /dev/fb0 /dev/fb

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

fb=/sys/class/graphics/fb0
echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: init"
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
    /bin/sample > /tmp/sample.out 2>&1 &
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

echo "@@zr uptime $(cut -d' ' -f1 /proc/uptime) s: done"
echo "@@zr done"
poweroff -f
