#!/usr/bin/env bash
# Starts the tray program under a virtual X display with a throw-away configuration (INI file,
# journal, certificate store and runtime folder in a temporary folder, a free port), checks
# that its server signs a document over the wire, and writes pictures of the window with the
# server started and stopped and of the port dialog; then starts a second program on the same
# port, whose start fails, and pictures its window under the error box.
#   tools/screenshot-gui.sh [BUILD_DIR [OUT_DIR]]     (build/release, BUILD_DIR/screenshots)
# The pictures are the program's own rendering of its widgets (the --captura option of its test
# build assinador-nfse-captura, which is never installed),
# so they need no window manager. docs/janela.png is janela-iniciado.png of a run, and
# docs/janela-falha.png its janela-falha.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
out=${2:-$build/screenshots}
program="$build/app/gui/assinador-nfse-captura"
cli="$build/assinador-nfse-cli"
[ -x "$program" ] || { echo "screenshot-gui: $program is not built" >&2; exit 2; }
command -v xvfb-run >/dev/null || { echo "screenshot-gui: xvfb-run is not installed" >&2; exit 2; }

work=$(mktemp -d)
pid=""
second=""
cleanup() {
  for p in "$pid" "$second"; do
    if [ -n "$p" ] && kill -0 "$p" 2>/dev/null; then kill "$p" 2>/dev/null || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A port nobody listens on.
port=""
for _ in $(seq 1 50); do
  candidate=$((10000 + RANDOM % 22000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || { echo "screenshot-gui: no free port found" >&2; exit 1; }

mkdir -m 700 "$work/run"
mkdir -p "$work/store" "$work/captura"
printf '[CONFIGURACAO]\r\nPORTA=%s\r\n' "$port" > "$work/assinador-nfse.ini"

# A throw-away CA and an RSA-2048 certificate it issued, with its key, in the store.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=AC Teste Descartavel" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/O=Empresa Exemplo/CN=EMPRESA EXEMPLO LTDA" \
  -keyout "$work/ee.key" -out "$work/ee.csr" 2>/dev/null
openssl x509 -req -in "$work/ee.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial 0x0A1B2C3D -days 30 -out "$work/ee.pem" 2>/dev/null
cat "$work/ee.pem" "$work/ee.key" > "$work/store/empresa-exemplo.pem"
serial=$(openssl x509 -in "$work/ee.pem" -noout -serial | cut -d= -f2)

# Waits up to 30 s for a file the program writes (the program $2, by default the first).
wait_for() {
  local program=${2:-$pid}
  for _ in $(seq 1 300); do
    [ -e "$1" ] && return 0
    kill -0 "$program" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
fail() {
  echo "screenshot-gui: $1" >&2
  echo "--- program output ---" >&2
  cat "$work/saida.txt" >&2 || true
  echo "--- journal ---" >&2
  tr '\r' '\n' < "$work/assinador-nfse.log" >&2 2>/dev/null || true
  exit 1
}

# Brazilian Portuguese for Qt's own dialog texts, whatever locales the machine has generated.
XDG_RUNTIME_DIR="$work/run" ASSINADOR_NFSE_STORE="$work/store" LC_ALL=C.UTF-8 LANGUAGE=pt_BR \
  xvfb-run -a -s "-screen 0 1024x768x24" \
  "$program" --config "$work/assinador-nfse.ini" --log "$work/assinador-nfse.log" \
  --captura "$work/captura" > "$work/saida.txt" 2>&1 &
pid=$!

wait_for "$work/captura/iniciado" || fail "the program did not reach the started pictures"
# The server of the window signs over the wire: the sample document, with the demonstration
# certificate, through the command-line client, verified by xmlsec1.
[ -x "$cli" ] || fail "$cli is not built"
ASSINADOR_NFSE_STORE="$work/store" "$cli" remoto assinar tests/data/nfse_sample.xml \
  --serie "$serial" --servidor "127.0.0.1:$port" --saida "$work/assinada.xml" \
  > "$work/remoto.txt" 2>&1 || { cat "$work/remoto.txt" >&2; fail "remoto assinar failed"; }
xmlsec1 --verify --trusted-pem "$work/ca.pem" "$work/assinada.xml" > /dev/null 2>&1 ||
  fail "the document signed by the window's server does not verify"
echo "screenshot-gui: the server on port $port signed the sample; xmlsec1 verified it"

# A second program of this user on the same port, with a runtime folder of its own so that it
# is not taken for a second start of the first: its start fails, and its window stays in sight
# under the error box, which names the first program.
mkdir -m 700 "$work/run-falha"
mkdir -p "$work/captura-falha"
printf '[CONFIGURACAO]\r\nPORTA=%s\r\n' "$port" > "$work/falha.ini"
XDG_RUNTIME_DIR="$work/run-falha" ASSINADOR_NFSE_STORE="$work/store" LC_ALL=C.UTF-8 \
  LANGUAGE=pt_BR xvfb-run -a -s "-screen 0 1024x768x24" \
  "$program" --config "$work/falha.ini" --log "$work/falha.log" \
  --captura "$work/captura-falha" > "$work/saida-falha.txt" 2>&1 &
second=$!
wait_for "$work/captura-falha/falha" "$second" || {
  cat "$work/saida-falha.txt" >&2
  fail "the second program did not picture its failed start"
}
wait "$second" || fail "the second program ended with a failure"
second=""
grep -q "outro servidor de assinatura deste usuário" "$work/falha.log" ||
  fail "the second program's journal does not name the first: $(tr '\r' '\n' < "$work/falha.log")"
echo "screenshot-gui: a second program on port $port failed to start, as it should"

touch "$work/captura/parar"
wait_for "$work/captura/parado" || fail "the program did not reach the stopped picture"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$pid" || fail "the program ended with a failure"
pid=""
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then fail "the server still listens"; fi

mkdir -p "$out"
for picture in janela-iniciado.png janela-parado.png dialogo-porta.png; do
  [ -s "$work/captura/$picture" ] || fail "$picture was not written"
  cp "$work/captura/$picture" "$out/"
done
[ -s "$work/captura-falha/janela-falha.png" ] || fail "janela-falha.png was not written"
cp "$work/captura-falha/janela-falha.png" "$out/"
echo "screenshot-gui: pictures in $out"
