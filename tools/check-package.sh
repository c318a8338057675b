#!/usr/bin/env bash
# Builds the server's .deb (build/release), unpacks it into a temporary root without touching
# the system, checks its files and its systemd user unit, then runs the unpacked daemon as the
# unit would (its ExecStartPre and ExecStart lines with a throw-away HOME) and talks to it: the
# filter negotiation, and the unpacked command-line signer's remote commands, whose signed
# document xmlsec1 verifies.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build="$repo/build/release"

fail() {
  echo "check-package: $*" >&2
  exit 1
}

[ -f "$build/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target assinador-nfsed assinador-nfse-cli
rm -f "$build"/assinador-nfse_*.deb
(cd "$build" && cpack -D CPACK_COMPONENTS_ALL=servidor >/dev/null)
deb=$(ls "$build"/assinador-nfse_*.deb)
echo "package: $(basename "$deb")"

work=$(mktemp -d)
daemon_pid=""
cleanup() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then kill -KILL "$daemon_pid"; fi
  rm -rf "$work"
}
trap cleanup EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"

# The package's contents and its dependencies.
unit_file=usr/lib/systemd/user/assinador-nfsed.service
example=usr/share/assinador-nfse/assinador-nfsed.ini
for f in usr/bin/assinador-nfsed usr/bin/assinador-nfse-cli; do
  [ -x "$root/$f" ] || fail "/$f missing or not executable"
done
for f in "$unit_file" "$example" usr/share/doc/assinador-nfse/README.md \
  usr/share/doc/assinador-nfse/examples/haproxy/assinador-nfse.cfg \
  usr/share/man/man1/assinador-nfsed.1 usr/share/man/man1/assinador-nfse-cli.1; do
  [ -f "$root/$f" ] || fail "/$f missing"
done
# The manual pages render without a warning, each naming its program.
for page in "$root"/usr/share/man/man1/*.1; do
  name=$(basename "$page" .1)
  if command -v groff >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 groff -K utf8 -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  fi
  grep -q "^\.TH ${name^^} 1" "$page" || fail "$(basename "$page") does not name $name"
done
# Each program tells the project's version.
for program in assinador-nfsed assinador-nfse-cli; do
  shown=$("$root/usr/bin/$program" --version) || fail "$program --version failed"
  [ "$shown" = "$program $(sed -n 's/^project(assinador_nfse VERSION \([0-9.]*\).*/\1/p' \
    CMakeLists.txt)" ] || fail "$program --version: $shown"
done
[ "$(dpkg-deb -f "$deb" Package)" = assinador-nfse ] || fail "package name"
version=$(sed -n 's/^project(assinador_nfse VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "version is not the project's $version"
depends=$(dpkg-deb -f "$deb" Depends)
libs="libxmlsec1-openssl libxml2 libssl3 zlib1g"
# The compression filter's ISA-L, where the build found it.
if grep -q '^ISAL_FOUND:INTERNAL=1' "$build/CMakeCache.txt"; then libs="$libs libisal2"; fi
for lib in $libs; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
grep -q '^\[CONFIGURACAO\]' "$root/$example" && grep -q '^PORTA=[0-9]' "$root/$example" ||
  fail "the example INI holds no port"

# The unit: its commands name files of the package.
unit_line() { sed -n "s/^$1=//p" "$root/$unit_file"; }
start=$(unit_line ExecStart)
pre=$(unit_line ExecStartPre)
[ -n "$start" ] && [ -n "$pre" ] || fail "ExecStart or ExecStartPre missing"
binary=${start%% *}
[ -x "$root$binary" ] || fail "ExecStart names $binary, not in the package"
[[ "$pre" == *" /$example" ]] || fail "ExecStartPre does not copy /$example: $pre"
if command -v systemd-analyze >/dev/null; then
  # A copy whose commands name the unpacked files, since verify looks for them (its --root
  # option does not work for user units).
  mkdir -m 700 "$work/runtime" "$work/units"
  sed "s| /usr/| $root/usr/|g; s|=/usr/|=$root/usr/|g" "$root/$unit_file" \
    >"$work/units/assinador-nfsed.service"
  # It warns about unknown keys and still succeeds: any output is a failure here.
  findings=$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze verify --user \
    "$work/units/assinador-nfsed.service" 2>&1) || fail "systemd-analyze verify: $findings"
  [ -z "$findings" ] || fail "systemd-analyze verify: $findings"
fi

# The unit's specifiers for a user whose HOME is $home: %E config home, %S its state folder.
home="$work/home"
config_home="$home/.config"
state_home="$home/.local/state"
mkdir -p "$config_home/assinador-nfse" "$state_home/assinador-nfse" # ConfigurationDirectory, StateDirectory
expand() {
  local line=${1//%E/$config_home}
  line=${line//%S/$state_home}
  line=${line// \/usr\// $root/usr/}
  [[ "$line" == /usr/* ]] && line="$root$line"
  printf '%s' "$line"
}
ini="$config_home/assinador-nfse/assinador-nfsed.ini"

# First start: the example becomes the user's INI; later starts leave the user's file alone.
(cd "$home" && eval "$(expand "$pre")")
cmp -s "$ini" "$root/$example" || fail "ExecStartPre did not copy the example INI"
# A free port, so that a port in use on this machine does not fail the check.
free_port=""
for _ in $(seq 1 50); do
  candidate=$((10000 + RANDOM % 22000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    free_port=$candidate
    break
  fi
done
[ -n "$free_port" ] || fail "no free port found"
sed -i "s/^PORTA=.*/PORTA=$free_port/" "$ini"
(cd "$home" && eval "$(expand "$pre")")
grep -q "^PORTA=$free_port\$" "$ini" || fail "ExecStartPre overwrote the user's INI"

# The user's store with one certificate (its own issuer), for a signature over the wire. The
# extensions make it a signer's, not the CA that "req -x509" makes by default: the signer
# refuses a CA's certificate.
store="$work/store"
mkdir "$store"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -subj "/CN=EMPRESA DO PACOTE" -days 2 -set_serial 0x0A1B2C \
  -addext basicConstraints=critical,CA:FALSE \
  -addext keyUsage=critical,digitalSignature,nonRepudiation 2>/dev/null
cat "$work/cert.pem" "$work/key.pem" >"$store/empresa.pem"
export HOME="$home" ASSINADOR_NFSE_STORE="$store" LC_ALL=C.UTF-8
: >"$work/out"
: >"$work/err"
eval "exec $(expand "$start") >\"$work/out\" 2>\"$work/err\" &"
daemon_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^assinador-nfsed: servidor iniciado, atendendo na porta TCP \([0-9]*\) .*/\1/p' \
    "$work/out")
  [ -n "$port" ] && break
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "the daemon did not start: $(cat "$work/out" "$work/err")"
echo "daemon listening on port $port"

# The command-line signer of the package reads the same store, and asks the daemon for it.
cli="$root/usr/bin/assinador-nfse-cli"
listed=$("$cli" certificados --bruto 2>&1) || fail "assinador-nfse-cli certificados: $listed"
[[ "$listed" == '"EMPRESA DO PACOTE=serial=0A1B2C|'* ]] || fail "certificados --bruto: $listed"
table=$("$cli" certificados 2>&1) || fail "assinador-nfse-cli certificados: $table"
[[ "$table" == Titular*$'\n''EMPRESA DO PACOTE  0A1B2C  '* ]] || fail "certificados: $table"
if [[ "$("$cli" --help)" == *'remoto certificados'* ]]; then
  listed=$("$cli" remoto certificados --bruto --servidor "127.0.0.1:$port" 2>&1) ||
    fail "remoto certificados: $listed"
  [[ "$listed" == '"EMPRESA DO PACOTE=serial=0A1B2C|'* ]] || fail "remoto certificados: $listed"
  "$cli" remoto assinar tests/data/nfse_sample.xml --serie 0A1B2C --servidor "127.0.0.1:$port" \
    --saida "$work/signed.xml" || fail "remoto assinar"
  xmlsec1 --verify --trusted-pem "$work/cert.pem" "$work/signed.xml" >/dev/null 2>&1 ||
    fail "the document the daemon signed does not verify"
fi
# The daemon answers the transport's filter negotiation with its compression filter.
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf '\x05\x05\x05\x05\x05' >&3
timeout 10 cat <&3 >"$work/reply" &
reader=$!
for _ in $(seq 100); do
  grep -q 'CompressMoreThan' "$work/reply" && break
  sleep 0.1
done
kill "$reader" 2>/dev/null || true
wait "$reader" || true
exec 3<&-
reply=$(tr -d '\0' <"$work/reply")
[[ "$reply" == *'"ZLibCompression"'* && "$reply" == *'"CompressMoreThan":"1024"'* ]] ||
  fail "no filter list from the daemon: $reply"

kill -TERM "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
[ "$status" -eq 0 ] || fail "the daemon ended with status $status: $(cat "$work/err")"
grep -q '^assinador-nfsed: servidor parado\.$' "$work/out" || fail "no stop line: $(cat "$work/out")"
[ ! -s "$work/err" ] || fail "the daemon wrote errors: $(cat "$work/err")"
reloads=$(grep -c 'Recarga da Configuração do Assinador' \
  "$state_home/assinador-nfse/assinador-nfsed.log" || true)
[ "$reloads" -eq 2 ] || fail "the journal holds $reloads reload records, not 2"
echo "package check passed"
