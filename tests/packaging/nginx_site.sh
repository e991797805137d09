# The example nginx site that the directory package ships is one nginx accepts: with a
# certificate of its own in place of the example's, `nginx -t` passes on it. Live, it tries only
# look-ups on a second server and writes no password (so no query string) to its logs.
source "$(dirname "$0")/common.sh"

prefix="$work/prefix"
install_into "$prefix"
site="$prefix/share/doc/sorvane-directory/examples/nginx-site.conf"
[[ -f "$site" ]] || fail "the nginx site is not installed"
nginx=/usr/sbin/nginx
[[ -x "$nginx" ]] || skip "nginx is missing (Debian package nginx-light)"
command -v openssl >/dev/null || skip "openssl is missing"

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=directory.example.org \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.log" \
  || { cat "$work/openssl.log" >&2; fail "openssl could not make a certificate"; }
sed -e "s|/etc/ssl/certs/directory.example.org.pem|$work/cert.pem|" \
    -e "s|/etc/ssl/private/directory.example.org.key|$work/key.pem|" \
    -e "s|/var/log/nginx/|$work/|" "$site" >"$work/site.conf"
grep -q "$work/cert.pem" "$work/site.conf" || fail "the site names no certificate where expected"
cat >"$work/nginx.conf" <<CONF
daemon off;
pid $work/nginx.pid;
error_log $work/error.log;
events {}
http {
    client_body_temp_path $work/body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    include $work/site.conf;
}
CONF
"$nginx" -t -p "$work" -c "$work/nginx.conf" -e "$work/error.log" >"$work/test.log" 2>&1 \
  || { cat "$work/test.log" >&2; fail "nginx -t refuses the shipped site"; }
grep -q 'proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for' "$site" \
  || fail "the site does not pass the client's address on"
echo "the shipped nginx site passes nginx -t"

# The same site on loopback ports, in front of a real directory and of a server that takes each
# request and drops it; neither is ever left out (max_fails=0), so nginx asks the two in turn.
read -r https http dropper directory < <(perl -MIO::Socket::INET -e '@s = map { IO::Socket::INET
  ->new(Listen => 1, LocalAddr => "127.0.0.1:0") } 1 .. 4; print "@{[map { $_->sockport } @s]}\n"')
sed -i -e "s|listen 443|listen 127.0.0.1:$https|; s|listen 80;|listen 127.0.0.1:$http;|; /listen \[/d" \
  -e "s|10.0.0.11:8642|127.0.0.1:$dropper max_fails=0|; s|10.0.0.12:8642|127.0.0.1:$directory max_fails=0|" \
  "$work/site.conf"
"$SORVANE_BUILD_DIR/bin/sorvane-directory" --listen "127.0.0.1:$directory" --db "$work/d.db" \
  --hash-cost 1 --register-rate 0 >"$work/directory.out" 2>"$work/directory.log" &
later_do "kill $!"
perl -MIO::Socket::INET -e '$l = IO::Socket::INET->new(Listen => 9, LocalAddr => "127.0.0.1:$ARGV[0]");
  open(F, ">>", $ARGV[1]); F->autoflush(1); print F "ready\n";
  while ($c = $l->accept) { $r = <$c>; while (<$c> =~ /\S/) {} print F $r; close $c }' \
  "$dropper" "$work/dropped" &
later_do "kill $!"
"$nginx" -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
later_do "kill $!"
ask() { curl -sk -o /dev/null -w '%{http_code}' "https://127.0.0.1:$https/messenger/$1"; }
for _ in $(seq 100); do
  [[ -s $work/directory.out && -s $work/dropped && $(ask g.php) != 000 ]] && break || sleep 0.1
done

# A change is done by one server, or fails where it was dropped; a look-up is asked again.
for n in 1 2 3 4; do
  for request in "n.php?u=user$n&p=Secret-$n" "c.php?u=user$n&p=Secret-$n&ip=127.0.0.1&port=1"; do
    status=$(ask "$request") at="${request%%&*}&"
    dropped=$(grep -c "$at" "$work/dropped" || true) done=$(grep -c "$at" "$work/directory.log" || true)
    [[ $((dropped + done)) == 1 && $dropped == $([[ $status == 502 ]] && echo 1 || echo 0) ]] \
      || fail "$request: status $status, dropped $dropped, done $done times"
  done
  [[ $(ask "g.php?u=user$n") != 502 ]] || fail "the look-up of user$n failed"
done
grep -q 'g.php' "$work/dropped" || fail "no look-up reached the dropping server"
curl -s -o /dev/null "http://127.0.0.1:$http/messenger/c.php?u=user1&p=Secret-80"
ask "m.php?u=user1&t=Secret-mailbox&wait=1" >/dev/null
! grep -l 'Secret-' "$work/sorvane-directory.access.log" "$work"/*error.log || fail "a password is in the logs"
