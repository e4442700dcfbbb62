#!/usr/bin/env bash
# Makes the certificates of the loopback fake services: a test authority, a
# server certificate it signs for every service host (and for hosts outside
# every service's domain, so that only the client's own domain check keeps
# it from them), one it signs for another name, and one signed by an
# authority nobody trusts.
set -euo pipefail
out=${1:?usage: make-certs.sh FOLDER}
mkdir -p "$out"
cd "$out"
hosts="accounts.google.com oauth2.googleapis.com www.googleapis.com www.linkedin.com api.linkedin.com \
upload.licdn.com secure.soundcloud.com api.soundcloud.com graph.facebook.com rupload.facebook.com \
elsewhere.example googleapis.com.evil.example"
san=$(printf 'DNS:%s,' $hosts); san=${san%,}
ssl() { openssl "$@" 2>/dev/null; }
make_ca() {
  ssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=$2" -keyout "$1.key" -out "$1.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
}
make_cert() {  # name, authority, subject alternative names
  ssl req -newkey rsa:2048 -nodes -subj "/CN=fake service" -keyout "$1.key" -out "$1.csr"
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$3" > "$1.ext"
  ssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 3650 -extfile "$1.ext" -out "$1.pem"
  rm -f "$1.csr" "$1.ext"
}
make_ca ca "Kelvra test authority"
make_ca rogue-ca "Untrusted authority"
make_cert services ca "$san"
make_cert wrong-name ca "DNS:elsewhere.example"
make_cert rogue rogue-ca "$san"
touch stamp
