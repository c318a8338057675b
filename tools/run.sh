#!/usr/bin/env bash
# Installs the dependencies, builds the signing server and the command-line tool, and shows the
# server at work: a throw-away certificate in a demonstration store, the server started on a
# free port (or on the port of the INI file given as the first argument), the bundled sample
# NFS-e signed through it with "assinador-nfse-cli remoto assinar" and checked with xmlsec1.
# The server then keeps running until Ctrl-C. With ASSINADOR_DEMO_ONLY=1 it is stopped right
# after the demonstration and the script exits with status 0.
#
#   bash tools/run.sh [ARQUIVO.ini]
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target assinador-nfsed assinador-nfse-cli

daemon=build/release/assinador-nfsed
cli=build/release/assinador-nfse-cli
work=$(mktemp -d)
pid=""
stop_daemon() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  pid=""
}
cleanup() {
  stop_daemon
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "Parando o servidor..."; exit 0' INT TERM

# The demonstration store: a self-signed CA and an RSA-2048 end-entity certificate it issued,
# with its key, in PEM.
mkdir "$work/My"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=AC Teste Descartavel" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/O=Empresa Exemplo/CN=EMPRESA EXEMPLO LTDA" \
  -keyout "$work/ee.key" -out "$work/ee.csr" 2>/dev/null
openssl x509 -req -in "$work/ee.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial 0x0A1B2C3D -days 30 -out "$work/ee.pem" 2>/dev/null
cat "$work/ee.pem" "$work/ee.key" > "$work/My/empresa-exemplo.pem"
serial=$(openssl x509 -in "$work/ee.pem" -noout -serial | cut -d= -f2)
export ASSINADOR_NFSE_STORE="$work/My"

# The INI file: the one given, or one on a port that is free now (one that refuses a
# connection, when python3 is not there to ask the system for one).
if [ $# -ge 1 ]; then
  ini=$(realpath "$1")
else
  ini="$work/assinador-nfsed.ini"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])' \
    2>/dev/null || true)
  for _ in $(seq 1 50); do
    [ -z "$port" ] || break
    candidate=$((10000 + RANDOM % 22000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate; fi
  done
  [ -n "$port" ] || { echo "Nenhuma porta livre encontrada." >&2; exit 1; }
  printf '[CONFIGURACAO]\r\nPORTA=%s\r\n' "$port" > "$ini"
fi

"$daemon" --config "$ini" --log "$work/assinador-nfsed.log" > "$work/daemon.out" 2> "$work/daemon.err" &
pid=$!

# The server says on which port it listens once it does.
port=""
for _ in $(seq 1 200); do
  port=$(sed -n 's/.*atendendo na porta TCP \([0-9][0-9]*\).*/\1/p' "$work/daemon.out")
  [ -n "$port" ] && break
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "O servidor não iniciou:" >&2
    cat "$work/daemon.err" >&2
    pid=""
    exit 1
  fi
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "O servidor não começou a atender em 20 segundos:" >&2
  cat "$work/daemon.err" >&2
  exit 1
fi
cat "$work/daemon.out"

echo "== certificados do servidor =="
"$cli" remoto certificados --servidor "127.0.0.1:$port"
echo "== tests/data/nfse_sample.xml assinado pelo servidor =="
"$cli" remoto assinar tests/data/nfse_sample.xml --serie "$serial" --servidor "127.0.0.1:$port" \
  --saida "$work/nfse_assinada.xml"
cat "$work/nfse_assinada.xml"
echo
if xmlsec1 --verify --trusted-pem "$work/ca.pem" "$work/nfse_assinada.xml" >/dev/null 2>&1; then
  echo "assinatura verificada"
else
  echo "a assinatura não foi verificada pelo xmlsec1" >&2
  exit 1
fi

if [ "${ASSINADOR_DEMO_ONLY:-}" = "1" ]; then
  stop_daemon
  exit 0
fi
echo "Servidor atendendo na porta TCP $port com o repositório de demonstração; Ctrl-C para parar."
# wait returns when a trapped signal arrives; the trap then stops the server and cleans up.
while kill -0 "$pid" 2>/dev/null; do
  wait "$pid" || true
done
pid=""
echo "O servidor terminou sozinho:" >&2
cat "$work/daemon.err" >&2
exit 1
