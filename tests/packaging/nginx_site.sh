# The example nginx site that the directory package ships is one nginx accepts: with a
# certificate of its own in place of the example's, `nginx -t` passes on it.
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
    -e "s|/etc/ssl/private/directory.example.org.key|$work/key.pem|" "$site" >"$work/site.conf"
grep -q "$work/cert.pem" "$work/site.conf" || fail "the site names no certificate where expected"
cat >"$work/nginx.conf" <<CONF
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
