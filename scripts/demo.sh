#!/usr/bin/env bash
# Installs what is missing, then does what the README's "Publishing an update"
# says with a key of its own: makes an RSA key pair with openssl, builds the
# updater with its public half, publishes version 2 of a demo client and of
# the updater signed with the private half, the version reply naming it, and
# runs a real update of version 1 against a local server
# (tests/tools/run_demo.sh tells the steps). Exits 0 only when the
# client was updated correctly.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

keys=build/demo-keys
mkdir -p "$keys"
if [ ! -f "$keys/publisher.pem" ]; then
    openssl genrsa -out "$keys/publisher.pem" 2048
    openssl rsa -in "$keys/publisher.pem" -RSAPublicKey_out -outform DER -out "$keys/publisher_public.der"
fi

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQND_PUBLIC_KEY_FILE="$PWD/$keys/publisher_public.der"
cmake --build build/demo -j "$(nproc)" --target update qnd_publish qnd_test_httpd

QND_DEMO_KEY="$PWD/$keys/publisher.pem" QND_DEMO_PUBLIC_KEY="$PWD/$keys/publisher_public.der" \
  exec bash tests/tools/run_demo.sh build/demo
