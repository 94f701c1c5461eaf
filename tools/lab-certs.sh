#!/usr/bin/env bash
# The lab's certificates for benches reached over TLS (rfc2217s://), made with
# Debian's openssl alone: a lab CA, a certificate per bench and per desk, and
# the ser2net connection that admits only the desks named.
set -euo pipefail

usage() {
    cat <<'USAGE'
Usage: lab-certs.sh COMMAND ARGUMENTS

  ca DIR
      Makes the lab CA in DIR: ca.key (the CA's private key; keep it off the
      benches) and ca.crt (10 years). Refuses when DIR already holds a CA.

  bench [OPTIONS] DIR NAME-OR-ADDRESS [OUT]
      A bench's key and certificate, signed by the CA in DIR, for the name or
      address the desk maps the bench to (rfc2217s://NAME-OR-ADDRESS:PORT):
      OUT/NAME-OR-ADDRESS.key and .crt (OUT is DIR unless given). An IPv4
      address (four decimal numbers) or an IPv6 address (brackets allowed)
      goes into the certificate as an address, anything else as a host name.

  desk [OPTIONS] DIR CN [OUT]
      A desk's key and certificate, signed by the CA in DIR: OUT/CN.key and
      OUT/CN.crt (OUT is DIR unless given). ser2net takes CN as the desk's user
      name: letters, digits, '.', '_' and '-'.

      A bench's or desk's certificate is valid from yesterday (for clocks that
      are behind) for 825 days. OPTIONS:
        --days N         valid for N days instead
      and, for tests, certificates that the other side must refuse:
        --expired        ended yesterday
        --not-yet-valid  begins tomorrow
        --self-signed    signed by its own key, not by the CA

  ser2net [--keydir FOLDER] [--bind ADDRESS] DIR BENCH PORT DEVICE AUTHDIR DESK-CN...
      Prints the ser2net connection (for /etc/ser2net.yaml on the bench's box)
      that serves DEVICE over TLS on BENCH's address and PORT and admits only
      the desks named, with the steps that put the files in place. The bench's
      key and certificate are read from FOLDER (default /etc/ser2net) as
      BENCH.key and BENCH.crt; the accepter is bound to BENCH unless --bind
      names another address.

  allow DIR AUTHDIR DESK-CN...
      Lets each desk in through AUTHDIR, on the bench's box: makes
      AUTHDIR/CN/allowed_certs, puts the lab CA's certificate (DIR/ca.crt)
      there and hashes the folder with openssl rehash. ser2net then admits a
      client certificate that the lab CA signed for clients when its CN names
      such a folder, from the next connection on, without a restart; removing
      AUTHDIR/CN shuts that desk out again the same way. (ser2net's
      allowed-users option does not apply to these certificates.)

Keys are written unencrypted (PEM, mode 600), certificates with mode 644.
Existing keys and certificates are never overwritten. Whoever has ca.key can
make a desk: keep it on the instructor's PC, never on a bench's box. A bench's
certificate is for servers only and never passes as a desk's.
USAGE
}

fail() {
    echo "lab-certs.sh: $*" >&2
    exit 1
}

# Keys are readable by their owner alone from the moment they exist.
umask 077

readonly DefaultDays=825
readonly CaDays=3650
# The same name for every lab CA: a CA made elsewhere must be told apart by its key.
readonly CaName="Velmora lab CA"

# Requests, openssl's configuration and new files until they are complete.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs openssl quietly and shows what it said only when it fails.
run_openssl() {
    if ! openssl "$@" > "$work/openssl.log" 2>&1; then
        cat "$work/openssl.log" >&2
        fail "openssl $1 failed"
    fi
}

new_key() {
    run_openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"
}

is_ipv4() {
    local octet='(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])'
    [[ $1 =~ ^$octet\.$octet\.$octet\.$octet$ ]]
}

is_ipv6() {
    [[ $1 == *:* && $1 =~ ^[0-9A-Fa-f:.]+$ ]]
}

# A host name of letters, digits and hyphens; one that ends in a number would
# be read as an address by some programs, so it is refused.
is_host_name() {
    [[ $1 =~ ^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*$ ]] &&
        ! [[ $1 =~ (^|\.)[0-9]+$ ]]
}

# ser2net makes a folder name of the CN, and gensio splits its options at
# commas and parentheses.
is_plain_name() {
    [[ $1 =~ ^[A-Za-z0-9_][A-Za-z0-9._-]*$ ]]
}

is_gensio_safe() {
    [[ $1 != *[,\(\)[:space:]]* ]]
}

require_ca() {
    [ -f "$1/ca.key" ] && [ -f "$1/ca.crt" ] || fail "$1 holds no lab CA (make one with: lab-certs.sh ca $1)"
}

refuse_existing() {
    local file
    for file in "$@"; do
        [ ! -e "$file" ] || fail "$file exists already; remove it first or choose another folder"
    done
}

# Signs a request with the CA in $1 through openssl ca, which alone in
# openssl 3.0 sets any start and end date. Its database in DIR/issued keeps a
# record and a copy of every certificate the CA signed.
sign() {
    local dir=$1 request=$2 certificate=$3 extensions=$4 start=$5 end=$6 config=$work/ca.cnf
    mkdir -p "$dir/issued"
    [ -f "$dir/issued/index.txt" ] || : > "$dir/issued/index.txt"
    cat > "$config" <<CONFIG
[ca]
default_ca = lab
[lab]
database = $dir/issued/index.txt
new_certs_dir = $dir/issued
certificate = $dir/ca.crt
private_key = $dir/ca.key
default_md = sha256
rand_serial = yes
unique_subject = no
email_in_dn = no
copy_extensions = none
policy = any_name
[any_name]
commonName = supplied
[issued]
$extensions
CONFIG
    run_openssl ca -batch -notext -config "$config" -extensions issued -in "$request" -out "$certificate" \
        -startdate "$start" -enddate "$end"
}

# Moves a new key and its certificate into FOLDER once both are complete.
install_made() {
    local folder=$1 key=$2 certificate=$3
    mkdir -p "$folder"
    chmod 600 "$key"
    chmod 644 "$certificate"
    mv "$key" "$certificate" "$folder/"
}

utc() {
    date -u -d "$1" +%Y%m%d%H%M%SZ
}

command_ca() {
    [ $# -eq 1 ] || { usage >&2; exit 2; }
    local dir=$1
    [ ! -e "$dir/ca.key" ] && [ ! -e "$dir/ca.crt" ] || fail "$dir holds a lab CA already; it is never overwritten"
    new_key "$work/ca.key"
    run_openssl req -x509 -new -key "$work/ca.key" -subj "/CN=$CaName" -days "$CaDays" -sha256 \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash" \
        -out "$work/ca.crt"
    install_made "$dir" "$work/ca.key" "$work/ca.crt"
    echo "Lab CA: $dir/ca.crt (private key $dir/ca.key)"
}

# What bench and desk share: the options, a new key, its request and the
# signature. $1 is bench or desk.
issue() {
    local kind=$1 days=$DefaultDays validity=normal
    shift
    while [ $# -gt 0 ]; do
        case $1 in
            --days) [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || fail "--days takes a number of days"
                    days=$2; shift 2 ;;
            --expired|--not-yet-valid|--self-signed) validity=${1#--}; shift ;;
            --) shift; break ;;
            -*) fail "unknown option $1" ;;
            *) break ;;
        esac
    done
    [ $# -eq 2 ] || [ $# -eq 3 ] || { usage >&2; exit 2; }
    local dir=$1 name=$2 out=${3:-$1}
    local extensions="basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment"
    if [ "$kind" = bench ]; then
        name=${name#[}
        name=${name%]}
        if is_ipv4 "$name" || is_ipv6 "$name"; then
            extensions+=$'\nsubjectAltName = IP:'$name
        elif is_host_name "$name"; then
            extensions+=$'\nsubjectAltName = DNS:'$name
        else
            fail "$2 is neither a host name nor an IP address"
        fi
        extensions+=$'\nextendedKeyUsage = serverAuth'
    else
        is_plain_name "$name" || fail "$name cannot be a desk's name: letters, digits, '.', '_' and '-' only"
        extensions+=$'\nextendedKeyUsage = clientAuth'
    fi
    [ "$validity" = self-signed ] || require_ca "$dir"
    local key=$out/$name.key certificate=$out/$name.crt
    refuse_existing "$key" "$certificate"
    new_key "$work/$name.key"
    run_openssl req -new -key "$work/$name.key" -subj "/CN=$name" -out "$work/request.csr"
    if [ "$validity" = self-signed ]; then
        # The same fields as a signed one; only the signer differs.
        printf '[issued]\n%s\n' "$extensions" > "$work/extensions.cnf"
        run_openssl x509 -req -in "$work/request.csr" -key "$work/$name.key" -days "$days" -sha256 \
            -extfile "$work/extensions.cnf" -extensions issued -out "$work/$name.crt"
    else
        local start end
        case $validity in
            # From yesterday, for a desk or bench box whose clock is behind.
            normal) start=$(utc "-1 day"); end=$(utc "+$days days") ;;
            expired) start=$(utc "-$days days"); end=$(utc "-1 day") ;;
            not-yet-valid) start=$(utc "+1 day"); end=$(utc "+$days days") ;;
        esac
        sign "$dir" "$work/request.csr" "$work/$name.crt" "$extensions" "$start" "$end"
    fi
    install_made "$out" "$work/$name.key" "$work/$name.crt"
    echo "${kind^} $name: $certificate (private key $key)"
}

command_ser2net() {
    local keydir=/etc/ser2net bind=
    while [ $# -gt 0 ]; do
        case $1 in
            --keydir) [ $# -ge 2 ] || fail "--keydir takes a folder"; keydir=$2; shift 2 ;;
            --bind) [ $# -ge 2 ] || fail "--bind takes an address"; bind=$2; shift 2 ;;
            --) shift; break ;;
            -*) fail "unknown option $1" ;;
            *) break ;;
        esac
    done
    [ $# -ge 6 ] || { usage >&2; exit 2; }
    local dir=$1 bench=$2 port=$3 device=$4 authdir=$5
    shift 5
    bench=${bench#[}
    bench=${bench%]}
    bind=${bind:-$bench}
    [[ $port =~ ^[1-9][0-9]{0,4}$ ]] && [ "$port" -le 65535 ] || fail "$port is no port number (1 to 65535)"
    [ -f "$dir/ca.crt" ] || fail "$dir/ca.crt is missing"
    # The steps are run elsewhere, ser2net reads from the root folder.
    dir=$(cd "$dir" && pwd)
    local value
    for value in "$keydir" "$device" "$authdir"; do
        [[ $value == /* ]] || fail "$value must be an absolute path"
    done
    for value in "$keydir" "$device" "$authdir" "$bind"; do
        is_gensio_safe "$value" || fail "'$value' cannot go into a ser2net line (no commas, parentheses or spaces)"
    done
    for value in "$@"; do
        is_plain_name "$value" || fail "$value cannot be a desk's name: letters, digits, '.', '_' and '-' only"
    done
    local alias=bench_${bench//[^A-Za-z0-9]/_}_$port host=$bench
    [[ $host != *:* ]] || host="[$host]"
    cat <<YAML
# Bench $bench: add this connection to /etc/ser2net.yaml on the bench's box,
# then restart ser2net (sudo systemctl restart ser2net). The desk maps it as
# rfc2217s://$host:$port.
connection: &$alias
  accepter: telnet(rfc2217),ssl(key=$keydir/$bench.key,cert=$keydir/$bench.crt,clientauth),tcp,$bind,$port
  connector: serialdev,$device,2400e82,local
  options:
    kickolduser: true
    authdir: $authdir
#
# Before that, as root on the bench's box, with the files from $dir:
# the bench's key and certificate,
#   install -d -m 755 $keydir
#   install -m 600 $dir/$bench.key $keydir/$bench.key
#   install -m 644 $dir/$bench.crt $keydir/$bench.crt
# and for each desk a folder that holds the lab CA's certificate (removing
# the folder shuts the desk out), as \`lab-certs.sh allow\` does:
#   lab-certs.sh allow $dir $authdir $*
# or by hand:
YAML
    for value in "$@"; do
        cat <<YAML
#   mkdir -p $authdir/$value/allowed_certs
#   install -m 644 $dir/ca.crt $authdir/$value/allowed_certs/lab-ca.crt
#   openssl rehash $authdir/$value/allowed_certs
YAML
    done
}

command_allow() {
    [ $# -ge 3 ] || { usage >&2; exit 2; }
    local dir=$1 authdir=$2 desk
    shift 2
    [ -f "$dir/ca.crt" ] || fail "$dir/ca.crt is missing"
    for desk in "$@"; do
        is_plain_name "$desk" || fail "$desk cannot be a desk's name: letters, digits, '.', '_' and '-' only"
    done
    for desk in "$@"; do
        # ser2net reads these as another user when it does not run as root.
        (umask 022 && mkdir -p "$authdir/$desk/allowed_certs")
        install -m 644 "$dir/ca.crt" "$authdir/$desk/allowed_certs/lab-ca.crt"
        run_openssl rehash "$authdir/$desk/allowed_certs"
        echo "Desk $desk may connect: $authdir/$desk/allowed_certs"
    done
}

[ $# -ge 1 ] || { usage >&2; exit 2; }
command -v openssl > /dev/null || fail "openssl is not installed (Debian package openssl)"
subcommand=$1
shift
case $subcommand in
    ca) command_ca "$@" ;;
    bench) issue bench "$@" ;;
    desk) issue desk "$@" ;;
    ser2net) command_ser2net "$@" ;;
    allow) command_allow "$@" ;;
    -h|--help|help) usage ;;
    *) usage >&2; exit 2 ;;
esac
