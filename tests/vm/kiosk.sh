#!/bin/sh
# The guest of a boot under systemd, in the host's root made writable by an overlay.
#   kiosk.sh setup OUT     before systemd starts (chroot in the new root): installs the
#                          package OUT/quorvelt.deb, enables the kiosk as the README says,
#                          and a control service on the serial console (this script, copied
#                          out of the source tree, which may lie in /tmp)
#   kiosk.sh control OUT   that service: one command a line, "@@" lines back
#     state                "@@state ACTIVE RESTARTS USER": the kiosk's state, restarts and user
#     stop                 systemctl stop quorvelt-kiosk; "@@stopped STATUS getty STATE": its
#                          status, and the state of tty1's login prompt afterwards
#     quit                 the journal of the boot into OUT/journal.log, "@@journal", power off
out=$2
case $1 in
setup)
  dpkg-deb -x "$out/quorvelt.deb" / || echo "@@fail unpack"
  systemctl enable quorvelt-kiosk.service || echo "@@fail enable"
  # ALSA's shared device at the show's rate, as one sets it on a board: nothing resamples.
  echo "defaults.pcm.dmix.rate 44100" >/etc/asound.conf
  # The serial console is the test's; units of this host that a board has no use for stay off.
  systemctl mask -q serial-getty@ttyS0.service console-getty.service postgresql.service apt-daily.timer apt-daily-upgrade.timer \
    man-db.timer e2scrub_all.timer e2scrub_reap.service fstrim.timer dpkg-db-backup.timer systemd-timesyncd.service
  cp "$0" /usr/local/sbin/dgl-kiosk.sh
  cat >/etc/systemd/system/dgl-control.service <<EOF
[Unit]
Description=the vm test's control on the serial console
[Service]
ExecStart=/bin/sh /usr/local/sbin/dgl-kiosk.sh control $out
StandardInput=tty
StandardOutput=tty
TTYPath=/dev/ttyS0
[Install]
WantedBy=multi-user.target
EOF
  systemctl enable -q dgl-control.service
  ;;
control)
  stty -echo 2>/dev/null
  # Ready once the boot is done: every unit of the default target has started (or failed).
  until systemctl is-system-running -q --wait 2>/dev/null || [ "$(systemctl is-system-running)" = degraded ]; do sleep 1; done
  echo "@@ready $(cut -d' ' -f1 /proc/uptime) $(systemctl is-system-running) $(systemctl --failed --plain --no-legend | cut -d' ' -f1 | tr '\n' ' ')"
  while read -r cmd; do
    case $cmd in
      state)
        pid=$(systemctl show -P MainPID quorvelt-kiosk)
        user=$( [ "$pid" != 0 ] && ps -o user= -p "$pid")
        echo "@@state $(systemctl is-active quorvelt-kiosk) $(systemctl show -P NRestarts quorvelt-kiosk) ${user:-none}"
        ;;
      stop)
        systemctl stop quorvelt-kiosk
        status=$?
        # tty1's login prompt comes back, started by the kiosk's end (queued: it may not have
        # begun yet); minutes only guard against a hang.
        for i in $(seq 600); do [ "$(systemctl is-active getty@tty1)" = active ] && break; sleep 0.5; done
        echo "@@stopped $status getty $(systemctl is-active getty@tty1)"
        ;;
      quit)
        journalctl -b --no-pager >"$out/journal.log" 2>&1
        echo "@@journal"
        systemctl poweroff -ff
        ;;
    esac
  done
  ;;
esac
