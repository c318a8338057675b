#!/usr/bin/env bash
# Installs the dependencies, builds the release preset and signs the bundled sample NFS-e with a
# throw-away test certificate, printing the signed XML.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/My"
# A self-signed CA and an RSA-2048 end-entity certificate it issued, with its key, in PEM.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=AC Teste Descartavel" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/O=Empresa Exemplo/CN=EMPRESA EXEMPLO LTDA" \
  -keyout "$work/ee.key" -out "$work/ee.csr" 2>/dev/null
openssl x509 -req -in "$work/ee.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial 0x0A1B2C3D -days 30 -out "$work/ee.pem" 2>/dev/null
cat "$work/ee.pem" "$work/ee.key" > "$work/My/empresa-exemplo.pem"
serial=$(openssl x509 -in "$work/ee.pem" -noout -serial | cut -d= -f2)

export ASSINADOR_NFSE_STORE="$work/My"
build/release/assinador-nfse-cli assinar tests/data/nfse_sample.xml --serie "$serial"
