# Debian's ser2net in front of a terminal, on 127.0.0.1, as a bench's serial
# server on the lab network would be. Sourced by the demo and the tests:
#   start_ser2net TERMINAL FOLDER
# starts it in the background with its configuration and log in FOLDER, waits
# until it listens, and sets ser2net_pid and ser2net_url (rfc2217://127.0.0.1:PORT).
#   start_ser2net_tls TERMINAL FOLDER KEY CERTIFICATE
# does the same inside TLS with the bench's key and certificate, admitting any
# desk (no clientauth), and sets ser2net_url to rfc2217s://127.0.0.1:PORT.
# Whatever LD_PRELOAD holds is loaded into it (the modem-line fixture gives
# a pseudo-terminal the lines of a serial port).

ser2net_program() {
    PATH=$PATH:/usr/sbin:/sbin command -v ser2net
}

start_ser2net() {
    run_ser2net "telnet(rfc2217),tcp" "$@" || return 1
    ser2net_url=rfc2217://127.0.0.1:$ser2net_port
}

start_ser2net_tls() {
    local terminal=$1 folder=$2 key=$3 certificate=$4 file
    # gensio splits its options at commas and parentheses.
    for file in "$key" "$certificate"; do
        [[ $file != *[,\(\)[:space:]]* ]] || { echo "ser2net cannot take the file name $file" >&2; return 1; }
    done
    run_ser2net "telnet(rfc2217),ssl(key=$key,cert=$certificate),tcp" "$terminal" "$folder" || return 1
    ser2net_url=rfc2217s://127.0.0.1:$ser2net_port
}

# run_ser2net ACCEPTER TERMINAL FOLDER: the accepter up to its address; sets
# ser2net_pid and ser2net_port.
run_ser2net() {
    local accepter=$1 terminal=$2 folder=$3 port program listening=false
    program=$(ser2net_program) || { echo "ser2net is not installed (Debian package ser2net)" >&2; return 1; }
    # A free port, as the system hands one out.
    port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat > "$folder/ser2net.yaml" <<YAML
connection: &bench
  accepter: $accepter,127.0.0.1,$port
  connector: serialdev,$terminal,2400e82,local
  options:
    kickolduser: true
YAML
    # -n stays in the foreground, -u takes no lock file in the system's lock folder.
    "$program" -n -u -c "$folder/ser2net.yaml" -P "$folder/ser2net.pid" > "$folder/ser2net.log" 2>&1 &
    ser2net_pid=$!
    for _ in $(seq 100); do
        if ss -Hltn "sport = :$port" | grep -q .; then
            listening=true
            break
        fi
        kill -0 "$ser2net_pid" 2>/dev/null || break
        sleep 0.05
    done
    if ! $listening; then
        kill "$ser2net_pid" 2>/dev/null || true
        echo "ser2net does not listen on port $port:" >&2
        cat "$folder/ser2net.log" >&2
        return 1
    fi
    ser2net_port=$port
}
