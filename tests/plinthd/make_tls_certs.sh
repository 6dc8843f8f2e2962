#!/usr/bin/env bash
# Makes the certificates of the Modbus/TCP Security tests with the openssl
# command. The commands from "The CA" to "A master" are the ones
# docs/plinthd.md shows, character for character.
#   make_tls_certs.sh DIR
# DIR gets ca.pem/ca.key, server.pem/.key, reader and writer (role
# extension "reader", "writer"), norole (no extension), intruder (a role
# the roles file does not know), expired (role "reader", its validity
# over), and rogue (role "writer", from a CA plinthd does not trust).
set -euo pipefail
cd "${1:?usage: make_tls_certs.sh DIR}"
exec 2>/dev/null

# The CA.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout ca.key -out ca.pem -days 3650 -subj "/O=Tessal/CN=Tessal Modbus CA"

# The server (plinthd), named by the addresses masters use to reach it.
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout server.key -out server.csr -subj "/O=Tessal/CN=plinthd"
printf '%s\n' "subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost" \
  "extendedKeyUsage = serverAuth" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
  -days 825 -extfile server.ext -out server.pem

# A master with the role "reader" (the role extension, a UTF8String).
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout reader.key -out reader.csr -subj "/O=Tessal/CN=scada-reader"
printf '%s\n' "extendedKeyUsage = clientAuth" \
  "1.3.6.1.4.1.50316.802.1 = ASN1:UTF8String:reader" >role-reader.ext
openssl x509 -req -in reader.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
  -days 825 -extfile role-reader.ext -out reader.pem
# (end of the commands shown in docs/plinthd.md)

# The other masters of the tests, made the same way.
master() { # master NAME SUBJECT EXTFILE DAYS [CA]
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1.key" -out "$1.csr" -subj "$2"
  openssl x509 -req -in "$1.csr" -CA "${5:-ca}.pem" -CAkey "${5:-ca}.key" -CAcreateserial \
    -days "$4" -extfile "$3" -out "$1.pem"
}
printf '%s\n' "extendedKeyUsage = clientAuth" \
  "1.3.6.1.4.1.50316.802.1 = ASN1:UTF8String:writer" >role-writer.ext
printf '%s\n' "extendedKeyUsage = clientAuth" \
  "1.3.6.1.4.1.50316.802.1 = ASN1:UTF8String:intruder" >role-intruder.ext
printf '%s\n' "extendedKeyUsage = clientAuth" >norole.ext
master writer "/O=Tessal/CN=scada-writer" role-writer.ext 825
master norole "/O=Tessal/CN=no-role" norole.ext 825
master intruder "/O=Tessal/CN=intruder" role-intruder.ext 825
# Expired: valid until the day before it was made. OpenSSL 3.4 and later
# (Debian 13) refuse a negative -days and take the dates themselves;
# OpenSSL 3.0 (Debian 12) has only -days.
if ! master expired "/O=Tessal/CN=expired-reader" role-reader.ext -1; then
  openssl x509 -req -in expired.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -not_before 20200101000000Z -not_after 20200102000000Z -extfile role-reader.ext -out expired.pem
fi
# A CA plinthd does not trust, and a writer of its own.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout rogueca.key -out rogueca.pem -days 3650 -subj "/O=Elsewhere/CN=Rogue CA"
master rogue "/O=Elsewhere/CN=rogue-writer" role-writer.ext 825 rogueca
rm -f ./*.csr
