#!/usr/bin/env bash
# Makes the certificates of the Modbus/TCP Security tests with the openssl
# command, the same commands as docs/plinthd.md shows:
#   make_tls_certs.sh DIR
# DIR gets ca.pem/ca.key (the masters' and the server's CA), server.pem/.key,
# reader, writer (role extension "reader", "writer"), norole (no extension),
# intruder (a role the roles file does not know), expired (role "reader",
# its validity over), and rogue (role "writer", from a CA plinthd does not
# trust).
set -euo pipefail
cd "${1:?usage: make_tls_certs.sh DIR}"

# A key of its own for each: EC P-256, quick to make and to use.
newkey() { # newkey NAME SUBJECT: NAME.key and NAME.csr
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
}
sign() { # sign NAME CA DAYS EXTFILE: NAME.pem signed by CA.pem
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
    -days "$3" -extfile "$4" -out "$1.pem" 2>/dev/null
}

# The CA.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout ca.key -out ca.pem -days 3650 -subj "/O=Tessal/CN=Tessal Modbus CA" 2>/dev/null
# A CA that is not trusted.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout rogueca.key -out rogueca.pem -days 3650 -subj "/O=Elsewhere/CN=Rogue CA" 2>/dev/null

# The server: plinthd's certificate.
printf '%s\n' "subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost" \
  "extendedKeyUsage = serverAuth" >server.ext
newkey server "/O=Tessal/CN=plinthd"
sign server ca 825 server.ext

# Masters: the role is the extension 1.3.6.1.4.1.50316.802.1, a UTF8String.
role_ext() { # role_ext ROLE: the extension file of a master with that role
  printf '%s\n' "extendedKeyUsage = clientAuth" \
    "1.3.6.1.4.1.50316.802.1 = ASN1:UTF8String:$1" >"role-$1.ext"
}
role_ext reader
role_ext writer
role_ext intruder
printf '%s\n' "extendedKeyUsage = clientAuth" >norole.ext
newkey reader "/O=Tessal/CN=scada-reader"
sign reader ca 825 role-reader.ext
newkey writer "/O=Tessal/CN=scada-writer"
sign writer ca 825 role-writer.ext
newkey norole "/O=Tessal/CN=no-role"
sign norole ca 825 norole.ext
newkey intruder "/O=Tessal/CN=intruder"
sign intruder ca 825 role-intruder.ext
# Expired: valid until a day before it was made.
newkey expired "/O=Tessal/CN=expired-reader"
sign expired ca -1 role-reader.ext
newkey rogue "/O=Elsewhere/CN=rogue-writer"
sign rogue rogueca 825 role-writer.ext
rm -f ./*.csr
