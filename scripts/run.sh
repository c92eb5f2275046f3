#!/usr/bin/env bash
# Builds Velquor and starts velquor-host on the example site; prints the address to open.
# Also starts a second, separate web server (examples/remote on 127.0.0.1:8081, or
# VELQUOR_REMOTE_PORT) whose page the example site's include page fetches, and a local
# SMTP server (the distribution's aiosmtpd on 127.0.0.1:2525, or VELQUOR_SMTP_PORT) that
# keeps every message it accepts in the Maildir "mail" of the host's data folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -G Ninja -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/plain velquor velquor-host

# The data folder the host will use: --data DIR when given, else its default.
data=build/plain/velquor-data
previous=""
for argument in "$@"; do
  [ "$previous" = "--data" ] && data=$argument
  case "$argument" in --data=*) data=${argument#--data=} ;; esac
  previous=$argument
done

remote_port=${VELQUOR_REMOTE_PORT:-8081}
python3 -m http.server "$remote_port" --bind 127.0.0.1 --directory examples/remote >/dev/null 2>&1 &
remote=$!
smtp=""
trap 'kill "$remote" ${smtp:+"$smtp"} 2>/dev/null || true' EXIT
echo "A second web server for the include example: http://127.0.0.1:$remote_port/weather.html"

smtp_port=${VELQUOR_SMTP_PORT:-2525}
mkdir -p "$data" && chmod 700 "$data"
/usr/bin/python3 scripts/smtp-server.py --listen "127.0.0.1:$smtp_port" --maildir "$data/mail" >/dev/null 2>&1 &
smtp=$!
echo "A local SMTP server on 127.0.0.1:$smtp_port keeps the mail it accepts in $data/mail/new/"

# The host starts once both servers answer (at most 10 s), so its first pages find them.
for port in "$remote_port" "$smtp_port"; do
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
done

# The example's administration pages (/admin/) answer only this machine, or the administrator.
build/plain/host/velquor-host --module build/plain/libvelquor.so --protect /admin/ "$@" &
host=$!
trap 'kill -TERM "$host" 2>/dev/null || true' INT TERM
wait "$host"
