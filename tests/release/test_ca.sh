# shellcheck shell=bash
# test_ca DIR TIME: a throw-away CA (DIR/ca.pem), a code-signing certificate
# (DIR/code.pem) and a timestamp authority's (DIR/tsa.pem), with their keys,
# valid for two days from TIME (faketime) and naming a revocation list at an
# address that answers nothing; DIR/other-ca.pem is a CA that signed none of
# them. Source it.
test_ca() {
  local dir=$1 name
  printf '%s\n' '[code]' 'keyUsage=critical,digitalSignature' 'extendedKeyUsage=codeSigning' \
    'crlDistributionPoints=URI:http://192.0.2.1/xvVistrell-test.crl' \
    '[tsa]' 'keyUsage=critical,digitalSignature' 'extendedKeyUsage=critical,timeStamping' >"$dir/ext.cnf"
  for name in ca other-ca; do
    faketime "@$2" openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/$name.key" -out "$dir/$name.pem" -days 2 \
      -subj "/CN=xvVistrell test $name" -addext basicConstraints=critical,CA:true \
      -addext keyUsage=critical,keyCertSign 2>/dev/null
  done
  for name in code tsa; do
    openssl req -newkey rsa:2048 -nodes -keyout "$dir/$name.key" -out "$dir/$name.csr" \
      -subj "/CN=xvVistrell test $name" 2>/dev/null
    faketime "@$2" openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
      -set_serial "0x$(openssl rand -hex 8)" -days 2 -extfile "$dir/ext.cnf" -extensions $name \
      -out "$dir/$name.pem" 2>/dev/null
  done
}
