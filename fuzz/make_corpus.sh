#!/bin/sh
# Writes the fuzz seed corpus with tupsend: one raw frame per file.
# Usage: fuzz/make_corpus.sh path/to/tupsend [corpus-dir]
set -eu
TUPSEND=${1:?path to tupsend}
DIR=${2:-$(dirname "$0")/corpus}
mkdir -p "$DIR"
snmp=$(mktemp)
trap 'rm -f "$snmp"' EXIT
cat >"$snmp" <<'JSON'
{"version":"V3PRIV","nopriv_hash":"MD5","priv_hash":"SHA","priv_algo":"AES",
 "cli_mode":"V2","cli_hash":"SHA","cli_algo":"DES","ro_user":"public",
 "priv_key":"0123456789abcdef0123456789abcdef","oid":"1.3.6.1.4.1.99",
 "port":161,"port_trap":162,"trap_addr1":"10.0.0.9"}
JSON
f() { name=$1; shift; "$TUPSEND" --seqno 7 --timestamp 1700000000 --output "$DIR/$name" --format raw "$@"; }
f devinfo       --devinfo 1,2,0,3,1,42,0x00c0ffee,en
f gpio          --gpio 1,2,3,0
f netcfg        --netcfg 1,0,192.168.10.1,255.255.255.0,192.168.10.254,8.8.8.8,0.0.0.0
f snmpcfg       --snmpcfg "$snmp"
f modbuscfg     --modbuscfg 1,502
f core          --item 1,1,0,4,float:21.5 --item 1,2,0,2,u16:513 --item 2,1,3,9,string:abc --item 3,1,0,1,hex:
f all           --devinfo 1,2,0,3,1,42,7,fr --gpio 0,1,0,3 --netcfg 0,1,0.0.0.0,0.0.0.0,0.0.0.0,0.0.0.0,0.0.0.0 \
                --snmpcfg "$snmp" --modbuscfg 0,1502 --item 5,6,7,8,s32:-5
f empty_core    --core
f unknown       --raw-section 0x55,0102030405
f devinfo_len30 --raw-section 0x10,0001000200030004000500060007000800000000000000000000
f overlong      --gpio 1,1,1,1 --raw-section 0x20,00000000,200
f many_count    --gpio 1,1,1,1 --sect-count 65535
f offset8       --gpio 1,1,1,1 --sect-offset 8
f bad_crc       --gpio 1,1,1,1 --checksum 0x1234
f no_sections
