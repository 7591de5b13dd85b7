#!/bin/sh
# Makes the certificates of the local HTTPS test server, valid for a century: an authority the
# tests trust with a certificate for 127.0.0.1, and the same from an authority they never trust.
set -eu
cd "$(dirname "$0")"
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 36500"
for name in trusted other; do
  openssl req -x509 $key -keyout "$name-ca.key" -out "$name-ca.pem" -subj "/CN=Kestrel $name test CA"
  openssl req -x509 $key -CA "$name-ca.pem" -CAkey "$name-ca.key" -keyout "$name.key" -out "$name.pem" \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -addext basicConstraints=CA:FALSE \
    -addext extendedKeyUsage=serverAuth
done
# The authorities' keys are not needed once their certificates are signed, nor the other CA.
rm -f trusted-ca.key other-ca.key other-ca.pem
