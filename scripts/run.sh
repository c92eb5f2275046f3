#!/usr/bin/env bash
# Builds Velquor and starts velquor-host on the example site; prints the address to open.
# Also starts a second, separate web server (examples/remote on 127.0.0.1:8081, or
# VELQUOR_REMOTE_PORT) whose page the example site's include page fetches, and a local
# SMTP server (the distribution's aiosmtpd on 127.0.0.1:2525, or VELQUOR_SMTP_PORT; STARTTLS
# and a login, as the module's server settings in <data>/Settings/servers.conf say) that
# keeps every message it accepts in the Maildir "mail" of the host's data folder, and a
# private POP3 server (the distribution's Dovecot on 127.0.0.1:1110, or VELQUOR_POP3_PORT;
# user "demo", password "demo") whose mailbox, in the folder "dovecot" of the host's data
# folder, starts with three demonstration messages. All of them stop with the host.
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

# The servers beside the host, stopped by their process ids when this script ends (the POP3
# launcher stops Dovecot with every process it started, within a few seconds).
servers=()
stop_servers() {
  [ ${#servers[@]} -eq 0 ] && return
  kill "${servers[@]}" 2>/dev/null || true
  wait "${servers[@]}" 2>/dev/null || true
}
trap stop_servers EXIT

remote_port=${VELQUOR_REMOTE_PORT:-8081}
python3 -m http.server "$remote_port" --bind 127.0.0.1 --directory examples/remote >/dev/null 2>&1 &
servers+=($!)
echo "A second web server for the include example: http://127.0.0.1:$remote_port/weather.html"

smtp_port=${VELQUOR_SMTP_PORT:-2525}
mkdir -p "$data" && chmod 700 "$data"
# The SMTP server asks for STARTTLS and a login (demo / demo) with a certificate made here
# (a private CA in $data/tls), and the module's server settings say how to talk to it.
if [ ! -f "$data/tls/ca.pem" ]; then
  bash scripts/test-certificates.sh "$data/tls"
fi
settings=$data/Settings/servers.conf
if [ ! -f "$settings" ]; then
  mkdir -p "$data/Settings"
  (umask 077 && cat >"$settings" <<SETTINGS
# Written by scripts/run.sh for its local SMTP server; edit freely (it is not overwritten).
[127.0.0.1:$smtp_port]
security = starttls
user = demo
password = demo
ca-file = $(cd "$data/tls" && pwd)/ca.pem
SETTINGS
  )
fi
/usr/bin/python3 scripts/smtp-server.py --listen "127.0.0.1:$smtp_port" --maildir "$data/mail" \
  --starttls "$data/tls/server.pem" "$data/tls/server.key" --auth demo:demo >/dev/null 2>&1 &
servers+=($!)
echo "A local SMTP server on 127.0.0.1:$smtp_port (STARTTLS, login demo / demo) keeps the mail it accepts in $data/mail/new/"
echo "The module's mail server settings, $settings (passwords hidden here):"
sed -E 's/^([[:space:]]*password[[:space:]]*=).*/\1 ********/; s/^/  /' "$settings"

# The demonstration messages go into a new mailbox only: remove $data/dovecot to start afresh.
pop3_port=${VELQUOR_POP3_PORT:-1110}
pop3_folder=$data/dovecot
seed=()
if [ ! -d "$pop3_folder/mail/demo" ]; then
  for message in scripts/demo-mailbox/*.eml; do
    seed+=(--message "demo=$message")
  done
fi
/usr/bin/python3 scripts/pop3-server.py serve --folder "$pop3_folder" --port "$pop3_port" --user demo:demo \
  "${seed[@]}" >"$data/pop3-server.log" 2>&1 &
pop3=$!
servers+=("$pop3")

# The host starts once the servers answer (at most 10 s; Dovecot 30 s), so its first pages
# find them.
for port in "$remote_port" "$smtp_port"; do
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
done
for _ in $(seq 1 300); do
  grep -q '^ready ' "$data/pop3-server.log" 2>/dev/null && break
  kill -0 "$pop3" 2>/dev/null || break
  sleep 0.1
done
if grep -q '^ready ' "$data/pop3-server.log" 2>/dev/null; then
  echo "A private POP3 server (Dovecot) on 127.0.0.1:$pop3_port, user demo / demo, keeps its mailbox in $pop3_folder/mail/demo/Maildir/"
else
  echo "warning: the POP3 server did not start, so the inbox page will find no server:" >&2
  sed 's/^/  /' "$data/pop3-server.log" >&2
fi

# The example's administration pages (/admin/) answer only this machine, or the administrator.
build/plain/host/velquor-host --module build/plain/libvelquor.so --protect /admin/ "$@" &
host=$!
trap 'kill -TERM "$host" 2>/dev/null || true' INT TERM
wait "$host"
