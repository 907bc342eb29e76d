#!/bin/sh
# Runs inside the virtual machine, in the host's root (read-only) entered with chroot.
# Prepares tty1 as a console with a known picture, then takes one command a line from
# the serial console and answers with "@@" lines:
#   run NAME [VAR=VALUE...] PROGRAM [ARG...]   start PROGRAM on tty1, its output in OUT/NAME.log;
#                                              "@@exit NAME STATUS" when it ends
#   run-detached NAME ...                      the same without a terminal, input /dev/null
#                                              (as a service manager starts it)
#   signal NAME SIG                            kill -SIG to it
#   release                                    closes the render nodes held here
#   cardusers                                  "@@cardusers N": descriptors of /dev/dri/card* open
#   quit
out=$1
# Mesa picks its software rasteriser (kms_swrast) for a virtio GPU without 3D by itself;
# it is held to ES 2.0 as in the other tests.
export MESA_GLES_VERSION_OVERRIDE=2.0 MESA_SHADER_CACHE_DISABLE=true
export LP_NUM_THREADS=2 SDL_AUDIODRIVER=dummy HOME="$out" TMPDIR="$out" PATH=${dgl_bin:+$dgl_bin:}/usr/sbin:/usr/bin:/sbin:/bin
stty -echo 2>/dev/null
# busybox's setsid has no -w; it needs none, as it forks only when its caller leads a
# process group, which a background job of this shell does not.
wait_flag=-w
setsid -w true 2>/dev/null || wait_flag=

# No cursor, and a text that stays on screen: the console's own picture.
printf '\033[2J\033[H\033[?25l' >/dev/tty1
printf 'quorvelt: the console of tty1\n\n  before and after every run this text is on screen\n' >/dev/tty1
# The kernel puts its console back by itself when the last client of the card closes it;
# render nodes held open here leave that to the program under test (the display's node is
# the second, after the render-only vgem's) until "release".
[ -e /dev/dri/renderD128 ] && exec 4</dev/dri/renderD128
[ -e /dev/dri/renderD129 ] && exec 5</dev/dri/renderD129
echo "@@ready $(cut -d' ' -f1 /proc/uptime)"

while read -r cmd name rest; do
  case $cmd in
    run|run-detached)
      input=/dev/tty1
      [ "$cmd" = run-detached ] && input=/dev/null
      # No echo, so that keys leave the console's picture as it was. A virtual terminal
      # takes its default settings back when a session that it controlled ends, so this
      # is done for every run; a key typed for an earlier run is drained.
      exec 3<>/dev/tty1
      stty -echo -icanon min 0 time 0 <&3
      cat <&3 >/dev/null
      stty icanon min 1 <&3
      rm -f "$out/$name.pid"
      (
        # The program's own session; tty1 becomes its controlling terminal when it is the input.
        setsid $wait_flag sh -c 'at=$1; shift; echo $$ >"$at.pid"; exec "$@" <"$0" >"$at.log" 2>&1 3<&- 4<&- 5<&-' "$input" "$out/$name" env $rest
        echo "@@exit $name $? $(cut -d' ' -f1 /proc/uptime)"
      ) &
      echo "@@started $name $(cut -d' ' -f1 /proc/uptime)"
      ;;
    signal) kill -"$rest" "$(cat "$out/$name.pid")" ;;
    release) exec 4<&- 5<&- ;;
    cardusers)
      n=0
      for f in /proc/[0-9]*/fd/*; do
        case $(readlink "$f" 2>/dev/null) in /dev/dri/card*) n=$((n + 1)) ;; esac
      done
      echo "@@cardusers $n"
      ;;
    quit) break ;;
  esac
done
