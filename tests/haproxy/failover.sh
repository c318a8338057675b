#!/usr/bin/env bash
# Three signing servers behind HAProxy on loopback, with the example configuration of
# packaging/haproxy/ (its ports, paths and privileges rewritten for a throw-away run):
#
#   bash tests/haproxy/failover.sh [PASTA_DO_BUILD]            # the failover check (ctest runs it)
#   bash tests/haproxy/failover.sh --medir [PASTA_DO_BUILD]    # throughput figures
#
# The check signs 800 small documents through HAProxy in three batches of `remoto assinar
# --conexoes 8`, kills one server with SIGKILL while the second batch runs and starts it again
# before the third, then signs one 2 MB document. Then: every document signed (the same bytes
# as the in-process signer makes, a sample verified by xmlsec1), HAProxy took the killed server
# out of the rotation within 2 s and back, and each server took at least 15% of HAProxy's
# sessions. PASTA_DO_BUILD holds assinador-nfsed and assinador-nfse-cli (build/release by
# default). Exit status 77 when HAProxy is not installed.
#
# --medir signs 400 documents (ASSINADOR_MEDIDA_DOCUMENTOS) with --conexoes 8 straight to one
# server, through HAProxy to one server, and through HAProxy to three, three rounds each, and
# prints the median's signings per second.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

# The whole run is bounded: past the limit, timeout's SIGTERM ends it through the trap below,
# which stops every process it started.
if [ -z "${ASSINADOR_FAILOVER_LIMITE:-}" ]; then
  export ASSINADOR_FAILOVER_LIMITE=150
  exec timeout -k 10 "$ASSINADOR_FAILOVER_LIMITE" bash "$0" "$@"
fi

measure=0
if [ "${1:-}" = "--medir" ]; then
  measure=1
  shift
fi
build=$(cd "${1:-$root/build/release}" && pwd)
daemon="$build/assinador-nfsed"
cli="$build/assinador-nfse-cli"
example="$root/packaging/haproxy/assinador-nfse.cfg"

haproxy=${HAPROXY:-$(PATH="$PATH:/usr/sbin:/usr/local/sbin:/sbin" command -v haproxy || true)}
if [ -z "$haproxy" ] || [ ! -x "$haproxy" ]; then
  echo "SKIP: haproxy não está instalado (apt install haproxy); teste de failover não executado."
  exit 77
fi
for tool in socat openssl xmlsec1 timeout; do
  command -v "$tool" >/dev/null || { echo "falta o programa $tool" >&2; exit 1; }
done
for program in "$daemon" "$cli"; do
  [ -x "$program" ] || { echo "falta $program (compile antes)" >&2; exit 1; }
done

work=$(mktemp -d)
declare -a server_pid=("" "" "" "")
declare -a server_port=("" "" "" "")
haproxy_pid=""
batch_pid=""
cleanup() {
  local status=$?
  for pid in "$batch_pid" "$haproxy_pid" "${server_pid[@]}"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null || true
      { wait "$pid" || true; } 2>/dev/null
    fi
  done
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
    for f in "$work"/haproxy.out "$work"/servidor*.err "$work"/lote*.err; do
      [ -s "$f" ] && { echo "== $(basename "$f") =="; tail -n 20 "$f"; }
    done >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

fail() {
  echo "FALHA: $*" >&2
  exit 1
}
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# A port nobody listens on now: a random one that refuses a connection, below the system's
# ephemeral range so that no outgoing connection of a test running beside us can hold it.
free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((10000 + RANDOM % 22000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  fail "nenhuma porta livre encontrada"
}

# The store every server signs with: a throw-away CA and a certificate it issued, with its key.
mkdir "$work/My"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=AC Teste Descartavel" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/O=Empresa Exemplo/CN=EMPRESA EXEMPLO LTDA" \
  -keyout "$work/ee.key" -out "$work/ee.csr" 2>/dev/null
openssl x509 -req -in "$work/ee.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial 0x0A1B2C3D -days 2 -out "$work/ee.pem" 2>/dev/null
cat "$work/ee.pem" "$work/ee.key" >"$work/My/empresa-exemplo.pem"
serial=$(openssl x509 -in "$work/ee.pem" -noout -serial | cut -d= -f2)
export ASSINADOR_NFSE_STORE="$work/My"

# Server N on the port of its INI file (a free one the first time, kept for the restart);
# waits until it says it listens.
start_server() {
  local n=$1 attempts=1
  if [ -z "${server_port[$n]:-}" ]; then
    server_port[$n]=$(free_port)
    attempts=5 # a port taken between the probe and the bind: try another
  fi
  for attempt in $(seq 1 "$attempts"); do
    if launch_server "$n"; then return 0; fi
    [ "$attempt" -lt "$attempts" ] || break
    server_port[$n]=$(free_port)
  done
  fail "o servidor $n não iniciou"
}
launch_server() {
  local n=$1
  printf '[CONFIGURACAO]\nPORTA=%s\n' "${server_port[$n]}" >"$work/servidor$n.ini"
  "$daemon" --config "$work/servidor$n.ini" --log "$work/servidor$n.log" \
    >"$work/servidor$n.out" 2>"$work/servidor$n.err" &
  server_pid[$n]=$!
  disown "${server_pid[$n]}"  # its death by SIGKILL is expected: no job notice
  local port=""
  for _ in $(seq 1 100); do
    port=$(sed -n 's/.*atendendo na porta TCP \([0-9][0-9]*\).*/\1/p' "$work/servidor$n.out")
    [ -n "$port" ] && break
    if ! kill -0 "${server_pid[$n]}" 2>/dev/null; then
      echo "== servidor$n.err ==" >&2
      cat "$work/servidor$n.err" >&2
      return 1
    fi
    sleep 0.1
  done
  [ -n "$port" ] || fail "o servidor $n não começou a atender em 10 s"
  server_port[$n]=$port
}
for n in 1 2 3; do start_server "$n"; done

# HAProxy with the example configuration: our ports, a stats socket in the temporary folder,
# in the foreground as this user (no chroot, user, group, daemon), its log on its output.
front=$(free_port)
sock="$work/haproxy.sock"
sed -E \
  -e '/^[[:space:]]*(chroot|user|group|daemon)([[:space:]]|$)/d' \
  -e 's#^([[:space:]]*log )/dev/log#\1stdout format raw#' \
  -e "s#^([[:space:]]*stats socket )[^[:space:]]+#\\1$sock#" \
  -e "s#^([[:space:]]*bind )[^[:space:]]+#\\1127.0.0.1:$front#" \
  -e "s#^([[:space:]]*server assinador1 )[^[:space:]]+#\\1127.0.0.1:${server_port[1]}#" \
  -e "s#^([[:space:]]*server assinador2 )[^[:space:]]+#\\1127.0.0.1:${server_port[2]}#" \
  -e "s#^([[:space:]]*server assinador3 )[^[:space:]]+#\\1127.0.0.1:${server_port[3]}#" \
  "$example" >"$work/haproxy.cfg"
grep -q "tcp-check send-binary 0505050505" "$work/haproxy.cfg" || fail "exemplo sem o health check"
[ "$(grep -c "server assinador[123] 127.0.0.1:" "$work/haproxy.cfg")" = 3 ] ||
  fail "os servidores do exemplo não foram reescritos"
"$haproxy" -c -q -f "$work/haproxy.cfg" || fail "haproxy -c recusou a configuração"
"$haproxy" -db -f "$work/haproxy.cfg" >"$work/haproxy.out" 2>&1 &
haproxy_pid=$!

# A field of `show stat` for a server of the backend (by the header's column names).
server_stat() {
  echo "show stat" | timeout 5 socat -t 2 - "UNIX-CONNECT:$sock" 2>/dev/null |
    awk -F, -v sv="$1" -v field="$2" '
      NR == 1 { sub(/^# /, ""); for (i = 1; i <= NF; i++) col[$i] = i; next }
      $1 == "servidores_assinatura" && $2 == sv { print $col[field] }'
}
# Waits until server N's status is exactly AStatus; prints the seconds it took.
wait_status() {
  local n=$1 wanted=$2 limit=$3 start
  start=$(now)
  while :; do
    [ "$(server_stat "assinador$n" status)" = "$wanted" ] && break
    if awk -v e="$(elapsed "$start")" -v l="$limit" 'BEGIN { exit !(e > l) }'; then
      fail "o HAProxy não marcou assinador$n $wanted em ${limit}s" \
        "(estado: $(server_stat "assinador$n" status))"
    fi
    kill -0 "$haproxy_pid" 2>/dev/null || fail "o HAProxy terminou"
    sleep 0.05
  done
  elapsed "$start"
}
for n in 1 2 3; do wait_status "$n" UP 10 >/dev/null; done

# The documents: small NFS-e, each with its own number.
make_documents() {
  local folder=$1 first=$2 last=$3
  mkdir -p "$folder"
  for i in $(seq "$first" "$last"); do
    printf '<nfse><inf Id="n%d"><Numero>%d</Numero><Discriminacao>Serviço %d</Discriminacao>%s' \
      "$i" "$i" "$i" '</inf><assinatura/></nfse>' >"$folder/nota$i.xml"
  done
}

# Signs the files of FOLDER into OUT through ADDRESS with 8 connections, in the background
# (batch_pid): a signal then reaches the trap at once rather than after the command.
sign_start() {
  local folder=$1 out=$2 address=$3 log=$4
  timeout 90 "$cli" remoto assinar "$folder"/*.xml --serie "$serial" --servidor "$address" \
    --pasta-saida "$out" --conexoes 8 >"$log.out" 2>"$log.err" &
  batch_pid=$!
}
sign_wait() {
  local status=0
  wait "$batch_pid" || status=$?
  batch_pid=""
  return "$status"
}
sign() {
  sign_start "$@"
  sign_wait
}

if [ "$measure" = 1 ]; then
  documents=${ASSINADOR_MEDIDA_DOCUMENTOS:-400}
  make_documents "$work/medida" 1 "$documents"
  # Three rounds of each; the median's time.
  rate() {
    local start times=()
    for _ in 1 2 3; do
      rm -rf "$work/saida"
      start=$(now)
      sign "$work/medida" "$work/saida" "$1" "$work/medida" || fail "a medida em $1 falhou"
      times+=("$(elapsed "$start")")
      [ "$(find "$work/saida" -name '*.xml' | wc -l)" = "$documents" ] || fail "faltam documentos"
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n 2p |
      awk -v n="$documents" -v what="$2" \
        '{ printf "%-42s %6.2f s  %7.1f assinaturas/s\n", what, $1, n / $1 }'
  }
  echo "$documents assinaturas com --conexoes 8 ($(nproc) núcleos; mediana de 3 rodadas):"
  sign "$work/medida" "$work/aquecimento" "127.0.0.1:${server_port[1]}" "$work/medida" # warm-up
  rate "127.0.0.1:${server_port[1]}" "direto a um servidor"
  for n in 2 3; do
    echo "disable server servidores_assinatura/assinador$n" |
      socat - "UNIX-CONNECT:$sock" >/dev/null
  done
  rate "127.0.0.1:$front" "pelo HAProxy, um servidor"
  for n in 2 3; do
    echo "enable server servidores_assinatura/assinador$n" |
      socat - "UNIX-CONNECT:$sock" >/dev/null
    wait_status "$n" UP 10 >/dev/null
  done
  rate "127.0.0.1:$front" "pelo HAProxy, três servidores (leastconn)"
  exit 0
fi

run_start=$(now)
total=800
make_documents "$work/lote1" 1 267
make_documents "$work/lote2" 268 534
make_documents "$work/lote3" 535 800
out="$work/assinadas"
count_signed() { find "$out" -name '*.xml' 2>/dev/null | wc -l; }

echo "servidores nas portas ${server_port[1]}, ${server_port[2]} e ${server_port[3]};" \
  "HAProxy na $front"
batch_start=$(now)
sign "$work/lote1" "$out" "127.0.0.1:$front" "$work/lote1" || fail "o lote 1 falhou"
echo "lote 1: $(count_signed) assinados em $(elapsed "$batch_start")s"

# The second batch runs in the background; a third of the way in, server 2 dies.
batch_start=$(now)
sign_start "$work/lote2" "$out" "127.0.0.1:$front" "$work/lote2"
while [ "$(count_signed)" -lt 287 ] && kill -0 "$batch_pid" 2>/dev/null; do sleep 0.01; done
running_at_kill=0
kill -0 "$batch_pid" 2>/dev/null && running_at_kill=1
kill -KILL "${server_pid[2]}"
signed_at_kill=$(count_signed)
for _ in $(seq 1 500); do kill -0 "${server_pid[2]}" 2>/dev/null || break; sleep 0.01; done
server_pid[2]=""
down_after=$(wait_status 2 DOWN 2)
echo "servidor 2 morto com $signed_at_kill assinados; o HAProxy o marcou DOWN em ${down_after}s"
sign_wait || fail "o lote 2 falhou"
retried=$(grep -c "tentativas)" "$work/lote2.out" || true)
echo "lote 2: $(count_signed) assinados em $(elapsed "$batch_start")s, $retried arquivo(s)" \
  "enviado(s) de novo"
if [ "$running_at_kill" = 1 ] && [ "$retried" -lt 1 ]; then
  fail "nenhum arquivo do lote 2 foi enviado de novo, mas o servidor morreu durante o lote"
fi

# Two thirds of the way: server 2 comes back on its port and HAProxy takes it again.
start_server 2
up_after=$(wait_status 2 UP 10)
echo "servidor 2 reiniciado; o HAProxy o marcou UP em ${up_after}s"
batch_start=$(now)
sign "$work/lote3" "$out" "127.0.0.1:$front" "$work/lote3" || fail "o lote 3 falhou"
echo "lote 3: $(count_signed) assinados em $(elapsed "$batch_start")s"

# A 2 MB document goes out and comes back in continuation pieces through HAProxy.
mkdir "$work/grande"
{
  printf '<nfse><inf Id="n1"><Discriminacao>'
  head -c 2000000 /dev/zero | tr '\0' x
  printf '</Discriminacao></inf><assinatura/></nfse>'
} >"$work/grande/grande.xml"
timeout 60 "$cli" remoto assinar "$work/grande/grande.xml" --serie "$serial" \
  --servidor "127.0.0.1:$front" --saida "$work/grande/remoto.xml" ||
  fail "o documento de 2 MB falhou"
timeout 60 "$cli" assinar "$work/grande/grande.xml" --serie "$serial" \
  --saida "$work/grande/local.xml" || fail "o documento de 2 MB falhou localmente"
cmp -s "$work/grande/remoto.xml" "$work/grande/local.xml" ||
  fail "o documento de 2 MB assinado pelo HAProxy difere da assinatura local"
echo "documento de 2 MB assinado pelo HAProxy"

# No file lost, each one the very bytes the in-process signer makes of its input (signing is
# deterministic), and one in eight of them verified by xmlsec1 (a run of xmlsec1 costs some
# 50 ms: all 800 would take most of the test's time).
[ "$(count_signed)" = "$total" ] || fail "$(count_signed) de $total documentos assinados"
ls "$work"/lote[123]/*.xml | tr '\n' '\0' |
  timeout 60 xargs -0 -P "$(nproc)" -n 100 "$cli" assinar --serie "$serial" \
    --pasta-saida "$work/referencia" >/dev/null || fail "a assinatura local de referência falhou"
diff -rq "$work/referencia" "$out" >"$work/diferencas" ||
  fail "documentos diferentes da assinatura local: $(head -n 5 "$work/diferencas")"
unverified=$(find "$out" -name '*.xml' | sort | awk 'NR % 8 == 1' | tr '\n' '\0' |
  xargs -0 -P "$(nproc)" -n 20 sh -c '
    for f; do
      xmlsec1 --verify --trusted-pem "$0" "$f" >/dev/null 2>&1 || echo "$f"
    done' "$work/ca.pem" | wc -l)
[ "$unverified" = 0 ] || fail "$unverified documentos não verificados pelo xmlsec1"
echo "$total documentos assinados, iguais à assinatura local; 1 em 8 verificado pelo xmlsec1"

# Each server's share of HAProxy's sessions.
declare -a sessions
all=0
for n in 1 2 3; do
  sessions[n]=$(server_stat "assinador$n" stot)
  all=$((all + sessions[n]))
done
echo "sessões por servidor (stot): ${sessions[1]} ${sessions[2]} ${sessions[3]}"
for n in 1 2 3; do
  [ $((sessions[n] * 100)) -ge $((all * 15)) ] ||
    fail "assinador$n atendeu ${sessions[n]} de $all sessões (menos de 15%)"
done
echo "failover pelo HAProxy: OK em $(elapsed "$run_start")s"
