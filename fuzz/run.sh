#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each for a bounded
# time. Any crash, leak or broken promise fails the run; the inputs that caused
# them are left in $FUZZ_BUILD_DIR/run/crashes for tests/data/regressions/.
#   fuzz/run.sh [SECONDS [TARGET...]]   seconds per target (60), targets (all)
# Seeds: the real-world corpus ($DOCX_CORPUS_DIR, else ../shared/corpus/real),
# the bundled sample, tests/data and the regression inputs. They are copied
# into the build folder and never into the source tree.
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
corpus=${DOCX_CORPUS_DIR:-$root/../shared/corpus/real}
all_targets=(open_content replace write merge)
targets=("${all_targets[@]}")
[ $# -gt 1 ] && targets=("${@:2}")

install_missing() {
    local missing=()
    for p in clang libclang-rt-14-dev cmake ninja-build pkg-config libzip-dev libdeflate-dev \
             nlohmann-json3-dev unzip; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

build_targets() {
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTAVRIMEL_DOCX_FUZZ=ON -DBUILD_TESTING=OFF -DTAVRIMEL_DOCX_BENCH=OFF >/dev/null
    cmake --build "$build" --target sample_docx "${targets[@]/#/fuzz_}"
}

# A seed for the replace target: options byte, counted find, counted replacement, document.
replace_seed() {  # OPTIONS FIND REPLACEMENT DOCUMENT OUT
    { printf "\\x$(printf %02x "$1")\\x$(printf %02x ${#2})%s\\x$(printf %02x ${#3})%s" "$2" "$3"
      cat "$4"; } >"$5"
}

make_seeds() {
    rm -rf "$work"
    local t
    for t in "${all_targets[@]}"; do mkdir -p "$work/seeds/$t" "$work/found/$t"; done
    mkdir -p "$work/crashes"
    local docs=() f
    [ -d "$corpus" ] || echo "note: no corpus at $corpus; fuzzing from the project's own seeds" >&2
    for f in "$corpus"/*.docx "$build/sample.docx" "$root"/tests/data/*.docx \
             "$root"/tests/data/*/*.docx "$root"/tests/data/regressions/*; do
        [ -f "$f" ] && [ "$(stat -c %s "$f")" -le 262144 ] && docs+=("$f")
    done
    local i=0 s
    local finds=("the" "a" "Table" "e" "ing")
    local repls=("X" "" "a &amp; <b>" "longer replacement text" "e")
    for f in "${docs[@]}"; do
        s="$work/seeds/open_content/$i"
        cp "$f" "$s.docx"
        # The main part alone: the target packs it, so mutations reach the XML.
        unzip -p "$f" word/document.xml >"$s.xml" 2>/dev/null || true
        [ -s "$s.xml" ] || rm -f "$s.xml"
        replace_seed $((i % 4)) "${finds[i % 5]}" "${repls[i % 5]}" "$f" "$work/seeds/replace/$i"
        [ -f "$s.xml" ] && replace_seed $(((i + 1) % 4)) "${finds[(i + 2) % 5]}" \
            "${repls[(i + 3) % 5]}" "$s.xml" "$work/seeds/replace/$i.xml"
        i=$((i + 1))
    done
    for f in "$root"/*.md "$root"/bench/*.md "$root"/tests/data/*.md "$root"/tests/data/*.txt; do
        [ -f "$f" ] && cp "$f" "$work/seeds/write/$(basename "$f")"
    done
    printf '%s\n' '# Heading' '' 'Text with *italic*, **bold** and ***both***.' '' '---' '' \
        '| a | b |' '|---|:--|' '| 1 | **2** |' '' '###### Six' 'a & b < c > "d"' \
        >"$work/seeds/write/features.md"
    local lists=('["a.docx"]' '["a.docx","b.docx"]' '["b.docx","a.docx","a.docx"]'
                 '["m0.docx","m1.docx","m2.docx"]' '["a.docx","m3.docx","m4.docx","b.docx"]'
                 '["m5.docx","m6.docx","m7.docx"]' '[]' '["missing.docx"]')
    for i in "${!lists[@]}"; do printf '%s' "${lists[i]}" >"$work/seeds/merge/$i.json"; done
    # Packages in pieces for the merge target: documents that refer to other
    # parts, notes, comments or lists, whose pieces fit the input size.
    i=0
    for f in "${docs[@]}"; do
        unzip -p "$f" word/document.xml 2>/dev/null |
            grep -qE ' r:(id|embed)=|<w:(footnote|comment)Reference|<w:numId' || continue
        merge_pieces "$f" "$work/seeds/merge/parts$i"
        [ "$(stat -c %s "$work/seeds/merge/parts$i")" -le 262144 ] || rm "$work/seeds/merge/parts$i"
        i=$((i + 1))
    done
}

# A merge seed from a package's parts, in the order the target reads them,
# each followed by a NUL byte (the picture is the first media entry, if any).
merge_pieces() {  # DOCX OUT
    local part media
    media=$(unzip -Z1 "$1" 2>/dev/null | grep -m1 '^word/media/' || true)
    for part in word/document.xml word/_rels/document.xml.rels '[[]Content_Types].xml' \
                word/footnotes.xml word/comments.xml word/numbering.xml "$media" word/styles.xml \
                word/settings.xml; do
        if [ -n "$part" ]; then
            { unzip -p "$1" "$part" 2>/dev/null || true; } | tr -d '\000'
        fi
        printf '\0'
    done >"$2"
}

run_target() {  # NAME
    local t=$1
    echo "== fuzz_$t for ${seconds}s"
    # Leaks are reported by ASan at exit of each libFuzzer run.
    DOCX_FUZZ_MERGE_INPUTS="$corpus" "$build/fuzz/fuzz_$t" -max_total_time="$seconds" \
        -max_len=262144 -timeout=30 -rss_limit_mb=4096 -malloc_limit_mb=4096 \
        -dict="$root/fuzz/wordml.dict" -artifact_prefix="$work/crashes/$t-" -print_final_stats=1 \
        "$work/found/$t" "$work/seeds/$t" >"$work/$t.log" 2>&1
}

install_missing
build_targets
work="$build/run"
make_seeds
failed=()
for t in "${targets[@]}"; do
    if run_target "$t"; then
        grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/$t.log" || true
    else
        failed+=("$t")
        tail -n 60 "$work/$t.log"
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing failed: ${failed[*]}; inputs in $work/crashes:" >&2
    ls -l "$work/crashes" >&2
    exit 1
fi
echo "fuzzing passed: ${targets[*]}"
