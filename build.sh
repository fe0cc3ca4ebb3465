#!/usr/bin/env bash
# Sets up, builds and runs the project on a fresh Debian machine.
#   ./build.sh demo   build, then render the bundled sample with docx-tools
#   ./build.sh test   build, run every test, then again under ASan and UBSan
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++ cmake ninja-build pkg-config libzip-dev libdeflate-dev zlib1g-dev nlohmann-json3-dev
          libgtest-dev libbenchmark-dev python3 python3-docx zip unzip pandoc cmark-gfm)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

build() {  # build DIR [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}

case "${1:-}" in
    demo)
        install_missing
        build build
        ./build/docx-tools content build/sample.docx
        ;;
    test)
        install_missing
        build build
        ctest --test-dir build --output-on-failure -j"$(nproc)"
        build build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRIMEL_DOCX_SANITIZE=ON -DTAVRIMEL_DOCX_BENCH=OFF
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
            ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
        ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac
