#!/bin/bash
# Checks the images of the generator with srecord (srec_cat, srec_info), an
# S-record reader of its own: checksums, address ranges, byte counts, end
# records and versions, and the replica's line and byte totals.
#
# DSP code holds two bytes per address: its 30-byte records lie 15 addresses
# apart and would overlap as byte addresses. Each image is therefore split
# into its sections, and DSP sections are read with "-motorola 2" (word
# addresses, each doubled), under which every byte has an address of its own.
#
# Usage: srecord_check.sh PYTHON MKIMAGE [BUILT_REPLICA]
set -u
python=$1
mkimage=$2
built=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

expect() { # what expected actual
    if [ "$2" != "$3" ]; then fail "$1: expected '$2', got '$3'"; fi
}

generate() { # output arguments...
    local out=$1
    shift
    "$python" "$mkimage" "$@" -o "$out" || { echo "FAIL: mkimage $*"; exit 1; }
}

# Writes sec1.s19, sec2.s19, ... of image into directory.
split_sections() { # image directory
    mkdir -p "$2"
    awk -v dir="$2" '/^S0/ { n++ } { print > (dir "/sec" n ".s19") }' "$1"
}

# srec_cat must read the section without a word: no checksum or syntax fault
# and, in byte addresses, no byte given twice.
read_cleanly() { # section width
    local messages
    messages=$(srec_cat -disable-sequence-warning "$1" -motorola "$2" -o /dev/null 2>&1)
    local rc=$?
    if [ $rc -ne 0 ] || [ -n "$messages" ]; then fail "srec_cat $1 (rc $rc): $messages"; fi
}

# "first last" data ranges of srec_info as decimal byte addresses, one a line.
ranges() { # section width
    srec_info -disable-sequence-warning "$1" -motorola "$2" 2>/dev/null |
        sed -n 's/^\(Data:\)\{0,1\}[[:space:]]*\([0-9A-F]\{1,\}\) - \([0-9A-F]\{1,\}\)$/\2 \3/p' |
        while read -r first last; do echo "$((16#$first)) $((16#$last))"; done
}

# Per record, independently of srecord: the byte count field matches the
# line, and each record starts where the one before it ended (width bytes per
# address). Prints "records data_bytes first_address last_address breaks",
# where breaks counts records that do not follow on.
record_facts() { # section width
    tr -d '\r' <"$1" | awk -v width="$2" '
        function hex(text,    i, value) {
            value = 0
            for (i = 1; i <= length(text); i++)
                value = value * 16 + index("0123456789ABCDEF", substr(text, i, 1)) - 1
            return value
        }
        /^S3/ {
            count = hex(substr($0, 3, 2))
            if (length($0) != 4 + 2 * count) bad++
            address = hex(substr($0, 5, 8))
            size = count - 5
            if (records > 0 && address != next_address) breaks++
            if (records == 0) first = address
            next_address = address + size / width
            last = address; records++; bytes += size
        }
        END { printf "%d %d %d %d %d %d\n", records, bytes, first, last, breaks, bad }'
}

# Four bytes at a byte address, as hex pairs.
bytes_at() { # section width address
    srec_cat -disable-sequence-warning "$1" -motorola "$2" -crop "$3" $(($3 + 4)) \
        -offset -"$3" -o "$work/bytes.bin" -binary 2>/dev/null
    od -An -tx1 "$work/bytes.bin" | tr -d ' \n'
}

start_address() { # section width
    srec_info -disable-sequence-warning "$1" -motorola "$2" 2>/dev/null |
        sed -n 's/^Execution Start Address: //p'
}

# --- the replica ---------------------------------------------------------------

replica=$work/replica.s19
generate "$replica"
"$python" "$mkimage" >"$work/again.s19"
cmp -s "$replica" "$work/again.s19" || fail "two runs of the generator differ"
if [ -n "$built" ]; then
    cmp -s "$replica" "$built" || fail "the built replica $built differs from the generator's"
fi

expect "replica lines" 16291 "$(wc -l <"$replica" | tr -d ' ')"
expect "replica bytes" 969826 "$(wc -c <"$replica" | tr -d ' ')"
expect "lines without CR LF" 0 "$(LC_ALL=C grep -vc $'\r$' "$replica")"
expect "longest line" 74 "$(tr -d '\r' <"$replica" | awk '{ if (length($0) > m) m = length($0) } END { print m }')"

split_sections "$replica" "$work/replica"
for n in 1 2 3; do
    expect "section $n header" "S00600004844521B" "$(head -1 "$work/replica/sec$n.s19" | tr -d '\r')"
done
expect "section lines" "1670 11725 2896" \
    "$(for n in 1 2 3; do wc -l <"$work/replica/sec$n.s19"; done | tr -d ' ' | xargs)"
expect "end lines" "S70500000802F0 S7051000094C95 S70500000000FA" \
    "$(for n in 1 2 3; do tail -1 "$work/replica/sec$n.s19" | tr -d '\r'; done | xargs)"

# Boot code: 20-byte records from 0x7FC up, then 8 bytes at address 0.
boot=$work/replica/sec1.s19
read_cleanly "$boot" 1
read -r records bytes first last breaks bad <<<"$(record_facts "$boot" 1)"
expect "boot records" 1668 "$records"
expect "boot first address" $((0x7FC)) "$first"
expect "boot last address" 0 "$last"
expect "boot records that do not follow on (only the one at 0)" 1 "$breaks"
expect "boot byte count fields" 0 "$bad"
expect "boot last record" "S30D00000000" "$(tail -2 "$boot" | head -1 | cut -c1-12)"
expect "boot ranges" "0 7
$((0x7FC)) $((0x7FC + bytes - 8 - 1))" "$(ranges "$boot" 1)"
expect "boot version" "01312f6c" "$(bytes_at "$boot" 1 $((0x7FC)))"
expect "boot start" "00000802" "$(start_address "$boot" 1)"
expect "boot 20-byte records" 1666 "$(grep -c '^S319' "$boot")"

# Application code: 20-byte records from 0x40000 to 0x793C8, no gap.
app=$work/replica/sec2.s19
read_cleanly "$app" 1
read -r records bytes first last breaks bad <<<"$(record_facts "$app" 1)"
expect "app records" 11723 "$records"
expect "app first address" $((0x40000)) "$first"
expect "app last address" $((0x793C8)) "$last"
expect "app gaps" 0 "$breaks"
expect "app byte count fields" 0 "$bad"
expect "app ranges" "$((0x40000)) $((0x40000 + bytes - 1))" "$(ranges "$app" 1)"
expect "app version" "01323f47" "$(bytes_at "$app" 1 $((0x40002)))"
expect "app start" "1000094C" "$(start_address "$app" 1)"
expect "app 20-byte records" 11722 "$(grep -c '^S319' "$app")"

# DSP code: 30-byte records 15 addresses apart from 0x20000 to 0x2A981.
dsp=$work/replica/sec3.s19
read_cleanly "$dsp" 2
read -r records bytes first last breaks bad <<<"$(record_facts "$dsp" 2)"
expect "dsp records" 2894 "$records"
expect "dsp first address" $((0x20000)) "$first"
expect "dsp last address" $((0x2A981)) "$last"
expect "dsp gaps" 0 "$breaks"
expect "dsp byte count fields" 0 "$bad"
expect "dsp ranges (bytes)" "$((0x40000)) $((0x40000 + bytes - 1))" "$(ranges "$dsp" 2)"
# Data bytes 22..25 of the second record (word address 0x2000F): low word
# 0x1958, then high word 0x0132.
expect "dsp version" "19580132" "$(bytes_at "$dsp" 2 $((2 * 0x2000F + 22)))"
expect "dsp start" "00000000" "$(start_address "$dsp" 2)"
expect "dsp 30-byte records" 2892 "$(grep -c '^S323' "$dsp")"
# The same section read with byte addresses has bytes given twice.
srec_cat "$dsp" -o /dev/null 2>/dev/null && fail "overlapping DSP bytes went unnoticed"

# A wrong checksum must be noticed (the checks above can fail).
awk 'NR == 5 { c = substr($0, length($0) - 1, 1); sub(/.\r$/, (c == "0" ? "1" : "0") "\r") } { print }' \
    "$app" >"$work/bad.s19"
expect "one line changed" 1 "$(diff "$app" "$work/bad.s19" | grep -c '^>')"
srec_cat "$work/bad.s19" -o /dev/null 2>/dev/null && fail "a wrong checksum went unnoticed"

# --- custom images ---------------------------------------------------------------

custom=$work/custom.s19
generate "$custom" --section boot,records=5,version=7 --section dsp,records=6,address=0x30000,version=0x01020304 \
    --section app,records=3,address=0x8000,version=0xFFFFFFFF --section boot,address=0x10000,records=2 --lf
expect "custom lines" $((7 + 8 + 5 + 4)) "$(wc -l <"$custom" | tr -d ' ')"
expect "custom CR" 0 "$(LC_ALL=C grep -c $'\r' "$custom")"
split_sections "$custom" "$work/custom"
read_cleanly "$work/custom/sec1.s19" 1
expect "custom boot" "5 100 $((0x7FC)) $((0x7FC + 80)) 0 0" "$(record_facts "$work/custom/sec1.s19" 1)"
expect "custom boot version" "00000007" "$(bytes_at "$work/custom/sec1.s19" 1 $((0x7FC)))"
read_cleanly "$work/custom/sec2.s19" 2
expect "custom dsp" "6 180 $((0x30000)) $((0x30000 + 75)) 0 0" "$(record_facts "$work/custom/sec2.s19" 2)"
expect "custom dsp version" "03040102" "$(bytes_at "$work/custom/sec2.s19" 2 $((2 * 0x3000F + 22)))"
read_cleanly "$work/custom/sec3.s19" 1
expect "custom app" "3 60 $((0x8000)) $((0x8000 + 40)) 0 0" "$(record_facts "$work/custom/sec3.s19" 1)"
expect "custom app version" "ffffffff" "$(bytes_at "$work/custom/sec3.s19" 1 $((0x8002)))"
read_cleanly "$work/custom/sec4.s19" 1
expect "custom unknown" "2 40 $((0x10000)) $((0x10000 + 20)) 0 0" "$(record_facts "$work/custom/sec4.s19" 1)"

# Over-long lines, blank and raw lines: the records stay valid S-records.
generate "$custom" --section app,records=4 --long 3=120 --long 2=200 --blank 4 --insert "1=@comment"
expect "raw line" "@comment" "$(sed -n 1p "$custom" | tr -d '\r')"
expect "longer line" 200 "$(sed -n 3p "$custom" | tr -d '\r' | awk '{ print length($0) }')"
expect "blank line" "" "$(sed -n 4p "$custom" | tr -d '\r')"
expect "long line" 120 "$(sed -n 5p "$custom" | tr -d '\r' | awk '{ print length($0) }')"
# The lengthened records overlap their neighbours: each is read on its own.
grep '^S3' "$custom" | tr -d '\r' >"$work/records.txt"
expect "records" 4 "$(wc -l <"$work/records.txt" | tr -d ' ')"
while read -r line; do
    printf 'S00600004844521B\r\n%s\r\nS7051000094C95\r\n' "$line" >"$work/one.s19"
    read_cleanly "$work/one.s19" 1
done <"$work/records.txt"
expect "data bytes" $((93 + 53 + 20 + 20)) "$(record_facts "$work/records.txt" 1 | cut -d' ' -f2)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all srecord checks passed"
