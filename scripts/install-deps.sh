#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the client need.
# Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
    build-essential cmake pkg-config ninja-build
    qt6-base-dev libgl-dev qt6-translations-l10n
    yaz libyaz-dev
    libcurl4-openssl-dev libsqlite3-dev libcpp-httplib-dev libicu-dev libpq-dev postgresql
    libgtest-dev libgmock-dev libbenchmark-dev
    fonts-wqy-zenhei xvfb xauth xdotool xclip openbox imagemagick idzebra-2.0 dpkg-dev file python3 git
    clang-format libbusiness-isbn-data-perl openssl ca-certificates scdoc man-db lintian systemd
    faketime poppler-utils libxml2-utils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
